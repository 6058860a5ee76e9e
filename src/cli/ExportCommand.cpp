#include "cli/ExportCommand.h"

#include "cli/CliContext.h"
#include "cli/CommandSupport.h"
#include "cli/SettingsJson.h"
#include "cli/SettingsSession.h"

#include <QJsonDocument>

QString ExportCommand::summary() const {
    return QStringLiteral("Einstellungen als JSON ausgeben");
}

QString ExportCommand::help() const {
    return QStringLiteral(
        "Aufruf: orvelsqlbackup-cli export [--with-secrets]\n\n"
        "Schreibt die Einstellungen als JSON auf die Standardausgabe:\n"
        "  {\"format\": 1, \"general\": {SPALTE: Wert, ...}, \"jobs\": [{SPALTE: Wert, ...}, "
        "...]}\n"
        "Die Schlüssel heißen wie die Spalten der Einstellungsdatei. Ohne --with-secrets\n"
        "fehlen die Passwörter (DBPasswort, FTP_Passwort, ZIP_Passwort,\n"
        "VersenderBenutzerPasswort); mit --with-secrets enthält die Ausgabe sie im Klartext.\n"
        "'export --with-secrets | import -' auf einem anderen Rechner ergibt dieselben\n"
        "Einstellungen.");
}

int ExportCommand::run(CliContext& context, const QStringList& arguments) {
    const bool withSecrets = arguments == QStringList{QStringLiteral("--with-secrets")};
    if (!arguments.isEmpty() && !withSecrets)
        return CommandSupport::usageError(
            context, *this, QStringLiteral("Unbekanntes Argument '%1'").arg(arguments.first()));
    SettingsSession session(context.programFolder());
    if (!CommandSupport::open(context, session))
        return kRefused;
    context.out() << QString::fromUtf8(
                         QJsonDocument(SettingsJson::write(session, withSecrets)).toJson())
                  << Qt::flush;
    return kDone;
}
