#pragma once

#include "settings/BackupJob.h"

#include <QList>
#include <QString>

// A file of the database a full backup holds, as RESTORE FILELISTONLY names it.
struct BackupFileEntry {
    QString logicalName;
    QString physicalName;
    QChar type; // 'D' data, 'L' log, others (full-text, FILESTREAM) as the server names them
    qint64 fileId = 0;
};

// A backup set of a backup file, as RESTORE HEADERONLY names it.
struct BackupSetEntry {
    int position = 0;   // FILE = position
    int backupType = 0; // 1 full, 2 log
    QString databaseName;
};

// Where a restored database's files go, one MOVE per logical file.
struct FileMove {
    QString logicalName;
    QString physicalName;
};

// The SQL Server statements of a restore, for one job's server and login, each on the master
// database of a connection of its own. Names and paths go into the text only quoted. Every
// failure throws ProgramError with the server's own messages.
class SqlRestore {
public:
    static constexpr int DefaultCommandTimeout = 3600; // seconds per RESTORE or DBCC statement
    static constexpr int QueryTimeout = 60;            // seconds per query

    explicit SqlRestore(const BackupJob& job);

    // Statement time-out; tests shorten it.
    void setCommandTimeout(int seconds) { m_commandTimeout = seconds; }

    // The server's default folders for data and log files, each ending in the separator the
    // path uses.
    struct DefaultPaths {
        QString data;
        QString log;
    };
    DefaultPaths defaultPaths();
    // backupFile as the server names it.
    QList<BackupFileEntry> fileList(const QString& backupFile);
    QList<BackupSetEntry> backupSets(const QString& backupFile);
    bool databaseExists(const QString& name);

    void restoreDatabase(const QString& target, const QString& backupFile,
                         const QList<FileMove>& moves, bool recovery, bool replace);
    void restoreLog(const QString& target, const QString& backupFile, int position,
                    bool recovery);
    void checkDatabase(const QString& target);
    // Closes every other connection to it first.
    void dropDatabase(const QString& target);

    // The MOVE of every file of a backup to the default folders, under names made from the
    // target: <target>.mdf for the first data file, <target>_<n>.ndf for further ones,
    // <target>_log.ldf for the log (<target>_log_<n>.ldf for further logs).
    static QList<FileMove> movesFor(const QString& target, const QList<BackupFileEntry>& files,
                                    const DefaultPaths& paths);

private:
    QList<QStringList> rows(const QString& sql, const QStringList& columns);
    void execute(const QString& statement);

    QString m_connectionString;
    int m_commandTimeout = DefaultCommandTimeout;
};
