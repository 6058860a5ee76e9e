#include "cli/JobSetCommand.h"

#include "cli/Assignments.h"
#include "cli/CliContext.h"
#include "cli/CommandSupport.h"
#include "cli/SettingsSession.h"
#include "platform/ProgramError.h"
#include "settings/Dataset.h"

QString JobSetCommand::summary() const {
    return QStringLiteral("Spalten eines Auftrags ändern");
}

QString JobSetCommand::help() const {
    return QStringLiteral(
        "Aufruf: orvelsqlbackup-cli job set NAME SPALTE=WERT... [--secret SPALTE]...\n\n"
        "Ändert die genannten Spalten des Auftrags NAME, z. B.\n"
        "  orvelsqlbackup-cli job set Lager3 FTP_aktiv=true FTP_SSL=2 FTP_SERVER=sftp.example.org\n"
        "  orvelsqlbackup-cli job set Lager3 --secret FTP_Passwort\n"
        "Die Spalten heißen wie in der Einstellungsdatei; ein leerer Wert leert die Spalte.\n"
        "Passwörter werden nie auf der Befehlszeile angenommen: --secret SPALTE liest sie\n"
        "ohne Anzeige vom Terminal oder je eine Zeile von der Standardeingabe.\n"
        "Ein abgelehnter Wert: Meldung, nichts wird gespeichert, Rückgabewert 2.");
}

int JobSetCommand::run(CliContext& context, const QStringList& arguments) {
    if (arguments.isEmpty() || arguments.first().contains(QLatin1Char('=')) ||
        arguments.first().startsWith(QLatin1String("--")))
        return CommandSupport::usageError(context, *this,
                                          QStringLiteral("Der Name des Auftrags fehlt"));
    const QString jobName = arguments.first();
    Assignments changes;
    QString error;
    if (!changes.parse(arguments.mid(1), QStringLiteral("job set ") + jobName, error)) {
        context.err() << error << Qt::endl;
        return kRefused;
    }
    if (changes.isEmpty())
        return CommandSupport::usageError(context, *this,
                                          QStringLiteral("Keine Änderung angegeben"));
    if (!changes.readSecrets(context, jobName, error)) {
        context.err() << error << Qt::endl;
        return kRefused;
    }
    const int code = CommandSupport::change(context, [&](SettingsSession& session) {
        if (!session.findJob(jobName))
            throw ProgramError(QStringLiteral("Kein Auftrag '%1'").arg(jobName));
        Dataset& jobs = session.jobs();
        jobs.edit();
        changes.apply(jobs);
        jobs.post();
    });
    if (code == kDone)
        context.out() << QStringLiteral("Auftrag '%1' gespeichert").arg(jobName) << Qt::endl;
    return code;
}
