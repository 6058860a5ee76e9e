#include "cli/JobShowCommand.h"

#include "cli/CliContext.h"
#include "cli/CommandSupport.h"
#include "cli/RowText.h"
#include "cli/SettingsSession.h"

QString JobShowCommand::summary() const {
    return QStringLiteral("alle Spalten eines Auftrags");
}

QString JobShowCommand::help() const {
    return QStringLiteral(
        "Aufruf: orvelsqlbackup-cli job show NAME\n\n"
        "Zeigt die Spalten des Auftrags NAME (Datenbankname) als SPALTE=WERT, so wie\n"
        "'job set' sie annimmt. Von Passwörtern steht nur da, ob eines gespeichert ist.");
}

int JobShowCommand::run(CliContext& context, const QStringList& arguments) {
    if (arguments.size() != 1)
        return CommandSupport::usageError(context, *this,
                                          QStringLiteral("Genau ein Auftragsname erwartet"));
    SettingsSession session(context.programFolder());
    if (!CommandSupport::open(context, session))
        return kRefused;
    const int row = session.jobRow(arguments.first());
    if (row < 0) {
        context.err() << QStringLiteral("Kein Auftrag '%1'").arg(arguments.first()) << Qt::endl;
        return kRefused;
    }
    for (const QString& line : RowText::lines(session.jobs(), row))
        context.out() << line << Qt::endl;
    return kDone;
}
