#include "cli/JobAddCommand.h"

#include "cli/Assignments.h"
#include "cli/CliContext.h"
#include "cli/CommandSupport.h"
#include "cli/SettingsSession.h"
#include "platform/ProgramError.h"
#include "settings/Dataset.h"
#include "settings/SettingsColumns.h"

QString JobAddCommand::summary() const {
    return QStringLiteral("neuen Auftrag anlegen");
}

QString JobAddCommand::help() const {
    return QStringLiteral(
        "Aufruf: orvelsqlbackup-cli job add NAME SPALTE=WERT... [--secret SPALTE]...\n\n"
        "Legt den Auftrag für die Datenbank NAME an, mit den Vorgaben eines neuen Auftrags\n"
        "im Fenster (DBBenutzer=sa, FTP_Port=21, FTP_SSL=0, FTP_Passiv=0, FTP_Binary=0,\n"
        "FTP_aktiv=false, ZIP_erstellen=false) und den genannten Spalten, z. B.\n"
        "  orvelsqlbackup-cli job add Lager3 DBServer=sql01,1433 --secret DBPasswort\n"
        "Die Spalten heißen wie in der Einstellungsdatei; ein leerer Wert leert die Spalte.\n"
        "DBServer und DBPasswort sind Pflicht. Passwörter (DBPasswort, FTP_Passwort) werden\n"
        "nie auf der Befehlszeile angenommen: --secret SPALTE liest sie ohne Anzeige vom\n"
        "Terminal oder je eine Zeile von der Standardeingabe.\n"
        "Ein abgelehnter Wert oder ein schon vorhandener Name: Meldung, nichts wird\n"
        "gespeichert, Rückgabewert 2.");
}

int JobAddCommand::run(CliContext& context, const QStringList& arguments) {
    if (arguments.isEmpty() || arguments.first().contains(QLatin1Char('=')) ||
        arguments.first().startsWith(QLatin1String("--")))
        return CommandSupport::usageError(context, *this,
                                          QStringLiteral("Der Name des Auftrags fehlt"));
    const QString jobName = arguments.first();
    Assignments changes;
    QString error;
    if (!changes.parse(arguments.mid(1), QStringLiteral("job add ") + jobName, error) ||
        !changes.readSecrets(context, jobName, error)) {
        context.err() << error << Qt::endl;
        return kRefused;
    }
    const int code = CommandSupport::change(context, [&](SettingsSession& session) {
        if (session.jobRow(jobName) >= 0)
            throw ProgramError(QStringLiteral("Einen Auftrag '%1' gibt es schon").arg(jobName));
        Dataset& jobs = session.jobs();
        jobs.append();
        jobs.setValue(SettingsColumns::DBName, jobName);
        changes.apply(jobs);
        jobs.post();
    });
    if (code == kDone)
        context.out() << QStringLiteral("Auftrag '%1' angelegt").arg(jobName) << Qt::endl;
    return code;
}
