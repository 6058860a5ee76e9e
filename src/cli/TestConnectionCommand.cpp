#include "cli/TestConnectionCommand.h"

#include "backup/SqlMaintenance.h"
#include "cli/CliContext.h"
#include "cli/CollectingLog.h"
#include "cli/CommandSupport.h"
#include "cli/SettingsSession.h"
#include "platform/ErrorCount.h"
#include "settings/SettingsRecords.h"

QString TestConnectionCommand::summary() const {
    return QStringLiteral("Verbindung zum SQL Server eines Auftrags prüfen");
}

QString TestConnectionCommand::help() const {
    return QStringLiteral(
        "Aufruf: orvelsqlbackup-cli test-connection NAME\n\n"
        "Der Verbindungstest des Fensters für den Auftrag NAME: meldet \"OK\" oder\n"
        "\"Erfolglos\". Rückgabewert 0 bei \"OK\", sonst 1.");
}

int TestConnectionCommand::run(CliContext& context, const QStringList& arguments) {
    if (arguments.size() != 1)
        return CommandSupport::usageError(context, *this,
                                          QStringLiteral("Genau ein Auftragsname erwartet"));
    SettingsSession session(context.programFolder());
    if (!CommandSupport::open(context, session))
        return kRefused;
    if (!session.findJob(arguments.first())) {
        context.err() << QStringLiteral("Kein Auftrag '%1'").arg(arguments.first()) << Qt::endl;
        return kRefused;
    }
    const BackupJob job = SettingsRecords::readJob(session.jobs());
    CollectingLog log;
    ErrorCount errors;
    SqlMaintenance sql(log, errors, context.programFolder());
    const QString result = sql.connectionTest(job);
    for (const QString& line : log.lines())
        context.err() << line << Qt::endl;
    context.out() << result << Qt::endl;
    return result == QLatin1String("OK") ? kDone : kFailed;
}
