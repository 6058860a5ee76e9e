#pragma once

#include <QString>

// The folder of the backup files as each side names it. `local` is where this program finds,
// packs and deletes the .BAK and .TRN files; `server` is the same folder as SQL Server names it
// in BACKUP … TO DISK, which may be a Windows path (D:\Backup\, \\nas\sql\) or a container's
// /var/opt/mssql/backup/. Both end in a separator of the kind the path uses. Without the INI keys
// both are the program folder.
struct BackupFolders {
    QString local;
    QString server;

    static BackupFolders inProgramFolder(const QString& programFolder);
    // BackupFolder= and ServerBackupFolder= of the INI file's section (never written by the
    // program). A missing or empty BackupFolder is the program folder, a relative one is taken
    // from it; a missing or empty ServerBackupFolder is BackupFolder, and a given one is used as
    // it stands.
    static BackupFolders fromIni(const QString& iniPath, const QString& programFolder);
    // `path` with a trailing separator: the kind it already uses (its last one), a backslash for
    // a bare drive ("D:"), otherwise '/'.
    static QString withTrailingSeparator(const QString& path);

    // A database's full (.BAK) and log (.TRN) backup file as this program finds, packs and
    // deletes it, in the local folder.
    QString fullBackup(const QString& dbName) const;
    QString logBackup(const QString& dbName) const;
    // The same files as SQL Server names them in BACKUP … TO DISK and RESTORE … FROM DISK, in the
    // server's folder.
    QString serverFullBackup(const QString& dbName) const;
    QString serverLogBackup(const QString& dbName) const;
    // The backup files a restore unpacks from an archive, beside the night's own and never over
    // them: as this program writes them, and as SQL Server reads them in RESTORE … FROM DISK.
    QString restoreFullBackup(const QString& dbName) const;
    QString restoreLogBackup(const QString& dbName) const;
    QString serverRestoreFullBackup(const QString& dbName) const;
    QString serverRestoreLogBackup(const QString& dbName) const;
    // The local folder exists and this program may read, write and enter it.
    bool localFolderUsable() const;
};
