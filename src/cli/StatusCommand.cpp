#include "cli/StatusCommand.h"

#include "cli/CliContext.h"
#include "cli/CommandSupport.h"

QString StatusCommand::summary() const {
    return QStringLiteral("was der letzte Lauf hinterlassen hat");
}

QString StatusCommand::help() const {
    return QStringLiteral("Aufruf: orvelsqlbackup-cli status\n\n"
                          "Zeigt je Auftrag, was der letzte Lauf hinterlassen hat.");
}

int StatusCommand::run(CliContext& context, const QStringList& arguments) {
    if (!arguments.isEmpty())
        return CommandSupport::usageError(context, *this, QStringLiteral("Zu viele Argumente"));
    context.err() << QStringLiteral("Noch kein Lauf aufgezeichnet") << Qt::endl;
    return kFailed;
}
