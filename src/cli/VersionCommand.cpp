#include "cli/VersionCommand.h"

#include "cli/CliContext.h"
#include "cli/CommandSupport.h"
#include "platform/VersionInfo.h"

QString VersionCommand::summary() const {
    return QStringLiteral("Programmversion");
}

QString VersionCommand::help() const {
    return QStringLiteral("Aufruf: orvelsqlbackup-cli version\n\n"
                          "Zeigt Name und Version des Programms und den Ordner seiner Daten "
                          "(Einstellungen, Protokoll, Archive).");
}

int VersionCommand::run(CliContext& context, const QStringList& arguments) {
    if (!arguments.isEmpty())
        return CommandSupport::usageError(context, *this, QStringLiteral("Zu viele Argumente"));
    context.out() << QStringLiteral(ORVEL_PRODUCT_NAME " " ORVEL_PRODUCT_VERSION) << Qt::endl;
    context.out() << QStringLiteral("Datenordner: ") << context.programFolder() << Qt::endl;
    return kDone;
}
