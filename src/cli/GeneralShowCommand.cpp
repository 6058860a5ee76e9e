#include "cli/GeneralShowCommand.h"

#include "cli/CliContext.h"
#include "cli/CommandSupport.h"
#include "cli/RowText.h"
#include "cli/SettingsSession.h"
#include "settings/Dataset.h"

QString GeneralShowCommand::summary() const {
    return QStringLiteral("die allgemeinen Einstellungen");
}

QString GeneralShowCommand::help() const {
    return QStringLiteral(
        "Aufruf: orvelsqlbackup-cli general show\n\n"
        "Zeigt die allgemeinen Einstellungen als SPALTE=WERT, so wie 'general set' sie\n"
        "annimmt. Von Passwörtern steht nur da, ob eines gespeichert ist.");
}

int GeneralShowCommand::run(CliContext& context, const QStringList& arguments) {
    if (!arguments.isEmpty())
        return CommandSupport::usageError(context, *this, QStringLiteral("Zu viele Argumente"));
    SettingsSession session(context.programFolder());
    if (!CommandSupport::open(context, session))
        return kRefused;
    for (const QString& line : RowText::lines(session.general(), 0))
        context.out() << line << Qt::endl;
    return kDone;
}
