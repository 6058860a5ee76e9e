#include "cli/ImportCommand.h"

#include "cli/CliContext.h"
#include "cli/CommandSupport.h"
#include "cli/SettingsJson.h"
#include "cli/SettingsSession.h"

#include <QFile>

QString ImportCommand::summary() const {
    return QStringLiteral("Einstellungen aus JSON übernehmen (alles oder nichts)");
}

QString ImportCommand::help() const {
    return QStringLiteral(
        "Aufruf: orvelsqlbackup-cli import [--prune] DATEI|-\n\n"
        "Macht die Einstellungen zu dem, was die JSON-Datei (- : die Standardeingabe) sagt,\n"
        "im Format von 'export': die genannten allgemeinen Einstellungen werden gesetzt,\n"
        "jeder genannte Auftrag (nach DBName) angelegt oder geändert. Eine weggelassene\n"
        "Spalte, auch ein Passwort, behält ihren gespeicherten Wert (ein neuer Auftrag die\n"
        "Vorgabe). --prune löscht die Aufträge, die die Datei nicht nennt.\n"
        "Alles oder nichts: eine unbekannte Spalte, ein Wert falschen Typs, ein abgelehnter\n"
        "Wert oder eine fehlerhafte Datei wird mit ihrer Stelle gemeldet, nichts wird\n"
        "gespeichert, Rückgabewert 2.");
}

int ImportCommand::run(CliContext& context, const QStringList& arguments) {
    QStringList rest = arguments;
    const bool prune = rest.removeAll(QStringLiteral("--prune")) > 0;
    if (rest.size() != 1)
        return CommandSupport::usageError(context, *this,
                                          QStringLiteral("Genau eine Datei (oder -) erwartet"));
    QFile file;
    const bool opened = rest.first() == QLatin1String("-")
                            ? file.open(stdin, QIODevice::ReadOnly)
                            : (file.setFileName(rest.first()), file.open(QIODevice::ReadOnly));
    if (!opened) {
        context.err() << QStringLiteral("%1 kann nicht gelesen werden: %2")
                             .arg(rest.first(), file.errorString())
                      << Qt::endl;
        return kRefused;
    }
    const QByteArray text = file.readAll();
    SettingsJson::ImportCount count;
    const int code = CommandSupport::change(context, [&](SettingsSession& session) {
        count = SettingsJson::read(session, text, prune);
    });
    if (code == kDone)
        context.out() << QStringLiteral("Übernommen: %1 Aufträge neu, %2 geändert, %3 gelöscht")
                             .arg(count.added)
                             .arg(count.changed)
                             .arg(count.removed)
                      << Qt::endl;
    return code;
}
