#include "cli/CommandSupport.h"

#include "cli/CliCommand.h"
#include "cli/CliContext.h"
#include "cli/SettingsChangeLock.h"
#include "cli/SettingsSession.h"
#include "platform/ProgramError.h"
#include "settings/SettingsDatabase.h"
#include "settings/SettingsTransaction.h"

bool CommandSupport::open(CliContext& context, SettingsSession& session) {
    QString reason;
    if (session.open(reason))
        return true;
    context.err() << reason << Qt::endl;
    return false;
}

int CommandSupport::change(CliContext& context,
                           const std::function<void(SettingsSession&)>& change) {
    const SettingsChangeLock lock(context.programFolder());
    if (!lock.held()) {
        context.err() << lock.refusal() << Qt::endl;
        return CliCommand::kRefused;
    }
    SettingsSession session(context.programFolder());
    if (!open(context, session))
        return CliCommand::kRefused;
    try {
        SettingsTransaction transaction(session.database().ADOConnection1);
        change(session);
        transaction.commit();
    } catch (const std::exception& e) {
        context.err() << exceptionText(e) << Qt::endl;
        context.err() << QStringLiteral("Nichts wurde gespeichert.") << Qt::endl;
        return CliCommand::kRefused;
    }
    return CliCommand::kDone;
}

int CommandSupport::usageError(CliContext& context, const CliCommand& command,
                               const QString& message) {
    context.err() << message << QStringLiteral("\n\n") << command.help() << Qt::endl;
    return CliCommand::kRefused;
}
