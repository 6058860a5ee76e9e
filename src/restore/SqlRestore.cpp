#include "restore/SqlRestore.h"

#include "platform/ProgramError.h"
#include "sqlserver/SqlCommand.h"
#include "sqlserver/SqlConnectionString.h"
#include "sqlserver/SqlQuery.h"
#include "sqlserver/SqlQuoting.h"

namespace {

// A folder as the server names it, ending in its own kind of separator.
QString folderWithSeparator(const QString& folder) {
    if (folder.isEmpty() || folder.endsWith(QLatin1Char('/')) ||
        folder.endsWith(QLatin1Char('\\')))
        return folder;
    return folder + (folder.contains(QLatin1Char('\\')) ? QLatin1Char('\\') : QLatin1Char('/'));
}

} // namespace

SqlRestore::SqlRestore(const BackupJob& job)
    : m_connectionString(SqlConnectionString::build(job.DBPasswort, job.DBBenutzer,
                                                    QStringLiteral("master"), job.DBServer)) {}

QList<QStringList> SqlRestore::rows(const QString& sql, const QStringList& columns) {
    SqlQuery query;
    query.setConnectionString(m_connectionString);
    query.setCommandTimeout(QueryTimeout);
    query.setSql(sql);
    query.open();
    QList<QStringList> result;
    for (const SqlRecord& record : query.rows()) {
        QStringList values;
        for (const QString& column : columns)
            values << record.text(column);
        result << values;
    }
    query.close();
    return result;
}

void SqlRestore::execute(const QString& statement) {
    SqlCommand command;
    command.setConnectionString(m_connectionString);
    command.setCommandTimeout(m_commandTimeout);
    command.setCommandText(statement);
    command.execute();
    command.close();
}

SqlRestore::DefaultPaths SqlRestore::defaultPaths() {
    const QList<QStringList> r =
        rows(QStringLiteral("SELECT CAST(SERVERPROPERTY('InstanceDefaultDataPath') AS nvarchar(4000)) "
                            "AS DataPath, CAST(SERVERPROPERTY('InstanceDefaultLogPath') AS "
                            "nvarchar(4000)) AS LogPath"),
             {QStringLiteral("DataPath"), QStringLiteral("LogPath")});
    if (r.isEmpty() || r.first().at(0).isEmpty() || r.first().at(1).isEmpty())
        throw ProgramError(QStringLiteral(
            "Der SQL-Server nennt keine Standardordner für Daten- und Protokolldateien"));
    return {folderWithSeparator(r.first().at(0)), folderWithSeparator(r.first().at(1))};
}

QList<BackupFileEntry> SqlRestore::fileList(const QString& backupFile) {
    QList<BackupFileEntry> files;
    SqlQuery query;
    query.setConnectionString(m_connectionString);
    query.setCommandTimeout(m_commandTimeout);
    query.setSql(QStringLiteral("RESTORE FILELISTONLY FROM DISK = ") +
                 SqlQuoting::text(backupFile) + QStringLiteral(" WITH FILE = 1"));
    query.open();
    for (const SqlRecord& record : query.rows()) {
        BackupFileEntry e;
        e.logicalName = record.text(QStringLiteral("LogicalName"));
        e.physicalName = record.text(QStringLiteral("PhysicalName"));
        const QString type = record.text(QStringLiteral("Type"));
        e.type = type.isEmpty() ? QChar() : type.at(0);
        e.fileId = record.integer(QStringLiteral("FileId"));
        files << e;
    }
    query.close();
    if (files.isEmpty())
        throw ProgramError(QStringLiteral("Die Sicherung %1 nennt keine Dateien").arg(backupFile));
    return files;
}

QList<BackupSetEntry> SqlRestore::backupSets(const QString& backupFile) {
    QList<BackupSetEntry> sets;
    SqlQuery query;
    query.setConnectionString(m_connectionString);
    query.setCommandTimeout(m_commandTimeout);
    query.setSql(QStringLiteral("RESTORE HEADERONLY FROM DISK = ") + SqlQuoting::text(backupFile));
    query.open();
    for (const SqlRecord& record : query.rows()) {
        BackupSetEntry s;
        s.position = int(record.integer(QStringLiteral("Position")));
        s.backupType = int(record.integer(QStringLiteral("BackupType")));
        s.databaseName = record.text(QStringLiteral("DatabaseName"));
        sets << s;
    }
    query.close();
    return sets;
}

bool SqlRestore::databaseExists(const QString& name) {
    return !rows(QStringLiteral("SELECT name FROM sys.databases WHERE name = ") +
                     SqlQuoting::text(name),
                 {QStringLiteral("name")})
                .isEmpty();
}

QList<FileMove> SqlRestore::movesFor(const QString& target, const QList<BackupFileEntry>& files,
                                     const DefaultPaths& paths) {
    QList<FileMove> moves;
    int data = 0, log = 0;
    for (const BackupFileEntry& f : files) {
        QString name;
        if (f.type == QLatin1Char('L')) {
            name = paths.log + target + QStringLiteral("_log") +
                   (log ? QStringLiteral("_%1").arg(log + 1) : QString()) + QStringLiteral(".ldf");
            ++log;
        } else {
            name = paths.data + target +
                   (data ? QStringLiteral("_%1.ndf").arg(data + 1) : QStringLiteral(".mdf"));
            ++data;
        }
        moves << FileMove{f.logicalName, name};
    }
    return moves;
}

void SqlRestore::restoreDatabase(const QString& target, const QString& backupFile,
                                 const QList<FileMove>& moves, bool recovery, bool replace) {
    QString statement = QStringLiteral("RESTORE DATABASE ") + SqlQuoting::name(target) +
                        QStringLiteral(" FROM DISK = ") + SqlQuoting::text(backupFile) +
                        QStringLiteral(" WITH FILE = 1");
    for (const FileMove& m : moves)
        statement += QStringLiteral(", MOVE ") + SqlQuoting::text(m.logicalName) +
                     QStringLiteral(" TO ") + SqlQuoting::text(m.physicalName);
    statement += recovery ? QStringLiteral(", RECOVERY") : QStringLiteral(", NORECOVERY");
    if (replace)
        statement += QStringLiteral(", REPLACE");
    execute(statement);
}

void SqlRestore::restoreLog(const QString& target, const QString& backupFile, int position,
                            bool recovery) {
    execute(QStringLiteral("RESTORE LOG ") + SqlQuoting::name(target) +
            QStringLiteral(" FROM DISK = ") + SqlQuoting::text(backupFile) +
            QStringLiteral(" WITH FILE = %1, ").arg(position) +
            (recovery ? QStringLiteral("RECOVERY") : QStringLiteral("NORECOVERY")));
}

void SqlRestore::checkDatabase(const QString& target) {
    execute(QStringLiteral("DBCC CHECKDB (") + SqlQuoting::name(target) +
            QStringLiteral(") WITH NO_INFOMSGS"));
}

void SqlRestore::dropDatabase(const QString& target) {
    // A database still restoring takes no SINGLE_USER; its drop needs none.
    try {
        execute(QStringLiteral("ALTER DATABASE ") + SqlQuoting::name(target) +
                QStringLiteral(" SET SINGLE_USER WITH ROLLBACK IMMEDIATE"));
    } catch (const std::exception&) {
    }
    execute(QStringLiteral("DROP DATABASE ") + SqlQuoting::name(target));
}
