#include "cli/JobRemoveCommand.h"

#include "cli/CliContext.h"
#include "cli/CommandSupport.h"
#include "cli/SettingsSession.h"
#include "platform/ProgramError.h"
#include "settings/Dataset.h"

QString JobRemoveCommand::summary() const {
    return QStringLiteral("Auftrag löschen");
}

QString JobRemoveCommand::help() const {
    return QStringLiteral("Aufruf: orvelsqlbackup-cli job remove NAME\n\n"
                          "Löscht den Auftrag NAME sofort, ohne Rückfrage. Seine Archive\n"
                          "und Sicherungsdateien bleiben liegen.");
}

int JobRemoveCommand::run(CliContext& context, const QStringList& arguments) {
    if (arguments.size() != 1)
        return CommandSupport::usageError(context, *this,
                                          QStringLiteral("Genau ein Auftragsname erwartet"));
    const QString jobName = arguments.first();
    const int code = CommandSupport::change(context, [&](SettingsSession& session) {
        if (!session.findJob(jobName))
            throw ProgramError(QStringLiteral("Kein Auftrag '%1'").arg(jobName));
        session.jobs().remove();
    });
    if (code == kDone)
        context.out() << QStringLiteral("Auftrag '%1' gelöscht").arg(jobName) << Qt::endl;
    return code;
}
