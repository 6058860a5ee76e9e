#include "cli/JobsCommand.h"

#include "cli/CliContext.h"
#include "cli/CommandSupport.h"
#include "cli/SettingsSession.h"
#include "settings/Dataset.h"
#include "settings/SettingsColumns.h"

namespace C = SettingsColumns;

QString JobsCommand::summary() const {
    return QStringLiteral("Sicherungsaufträge als Tabelle");
}

QString JobsCommand::help() const {
    return QStringLiteral(
        "Aufruf: orvelsqlbackup-cli jobs\n\n"
        "Zeigt die Sicherungsaufträge: Datenbank, SQL Server, Archivname, Upload (FTP, FTPS,\n"
        "SFTP, S3 oder aus) und Ziel (Server:Port und Pfad).");
}

int JobsCommand::run(CliContext& context, const QStringList& arguments) {
    if (!arguments.isEmpty())
        return CommandSupport::usageError(context, *this, QStringLiteral("Zu viele Argumente"));
    SettingsSession session(context.programFolder());
    if (!CommandSupport::open(context, session))
        return kRefused;
    Dataset& jobs = session.jobs();
    const auto text = [&jobs](int row, const QString& column) {
        return jobs.rowValue(row, jobs.fieldIndex(column)).toString();
    };
    QList<QStringList> table;
    table.append({QStringLiteral("Datenbank"), QStringLiteral("SQL Server"),
                  QStringLiteral("Archivname"), QStringLiteral("Upload"), QStringLiteral("Ziel")});
    static const QStringList protocols = {QStringLiteral("FTP"), QStringLiteral("FTPS"),
                                          QStringLiteral("SFTP"), QStringLiteral("S3")};
    for (int row = 0; row < jobs.recordCount(); ++row) {
        const bool upload = jobs.rowValue(row, jobs.fieldIndex(C::FTP_aktiv)).toBool();
        const int protocol = jobs.rowValue(row, jobs.fieldIndex(C::FTP_SSL)).toInt();
        QString target;
        if (!text(row, C::FTP_SERVER).isEmpty())
            target = text(row, C::FTP_SERVER) + QLatin1Char(':') + text(row, C::FTP_Port) +
                     QLatin1Char(' ') + text(row, C::FTP_Pfad);
        table.append(
            {text(row, C::DBName), text(row, C::DBServer), text(row, C::ZIP_Dateiname),
             upload ? protocols.value(protocol, QString::number(protocol)) : QStringLiteral("aus"),
             target.trimmed()});
    }
    QList<qsizetype> widths(table.first().size(), 0);
    for (const QStringList& line : std::as_const(table))
        for (qsizetype i = 0; i < line.size(); ++i)
            widths[i] = std::max(widths[i], line.at(i).size());
    for (const QStringList& line : std::as_const(table)) {
        QString out;
        for (qsizetype i = 0; i < line.size(); ++i)
            out += i + 1 < line.size() ? line.at(i).leftJustified(widths[i] + 2) : line.at(i);
        context.out() << out.trimmed() << Qt::endl;
    }
    return kDone;
}
