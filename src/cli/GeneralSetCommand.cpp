#include "cli/GeneralSetCommand.h"

#include "cli/Assignments.h"
#include "cli/CliContext.h"
#include "cli/CommandSupport.h"
#include "cli/SettingsSession.h"
#include "settings/Dataset.h"

QString GeneralSetCommand::summary() const {
    return QStringLiteral("allgemeine Einstellungen ändern");
}

QString GeneralSetCommand::help() const {
    return QStringLiteral(
        "Aufruf: orvelsqlbackup-cli general set SPALTE=WERT... [--secret SPALTE]...\n\n"
        "Ändert die allgemeinen Einstellungen, z. B.\n"
        "  orvelsqlbackup-cli general set \"EmpfaengerEmail=it@firma.de; backup@firma.de\" "
        "VersenderName=Lager\n"
        "  orvelsqlbackup-cli general set OrdnerZIPDateien=/srv/archive-copy\n"
        "  orvelsqlbackup-cli general set --secret ZIP_Passwort\n"
        "OrdnerZIPDateien nimmt nur einen vorhandenen Ordner mit vollem Pfad (leer: keine\n"
        "Kopie). VersenderEmail wird klein geschrieben und ohne Leerzeichen an den Enden\n"
        "gespeichert. Passwörter werden nie auf der Befehlszeile angenommen.\n"
        "Ein abgelehnter Wert: Meldung, nichts wird gespeichert, Rückgabewert 2.");
}

int GeneralSetCommand::run(CliContext& context, const QStringList& arguments) {
    Assignments changes;
    QString error;
    if (!changes.parse(arguments, QStringLiteral("general set"), error)) {
        context.err() << error << Qt::endl;
        return kRefused;
    }
    if (changes.isEmpty())
        return CommandSupport::usageError(context, *this,
                                          QStringLiteral("Keine Änderung angegeben"));
    if (!changes.readSecrets(context, QStringLiteral("die allgemeinen Einstellungen"), error)) {
        context.err() << error << Qt::endl;
        return kRefused;
    }
    const int code = CommandSupport::change(context, [&](SettingsSession& session) {
        Dataset& general = session.general();
        general.first();
        general.edit();
        changes.apply(general);
        general.post();
    });
    if (code == kDone)
        context.out() << QStringLiteral("Allgemeine Einstellungen gespeichert") << Qt::endl;
    return code;
}
