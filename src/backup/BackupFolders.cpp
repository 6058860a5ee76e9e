#include "backup/BackupFolders.h"

#include "platform/IniFile.h"

#include <QDir>
#include <QFileInfo>

namespace {
const QString kSection = QStringLiteral("OrvelSQLBackup");
const QLatin1String kFullBackupSuffix(".BAK");
const QLatin1String kLogBackupSuffix(".TRN");
// A restore's files: the night's name with a mark after it, so that no database's night file
// (which always ends in .BAK or .TRN) can have a restore file's name.
const QLatin1String kRestoreMark("-Wiederherstellung");
} // namespace

BackupFolders BackupFolders::inProgramFolder(const QString& programFolder) {
    return {programFolder, programFolder};
}

BackupFolders BackupFolders::fromIni(const QString& iniPath, const QString& programFolder) {
    const IniFile ini(iniPath);
    BackupFolders folders = inProgramFolder(programFolder);
    const QString local = ini.value(kSection, QStringLiteral("BackupFolder")).value_or(QString());
    if (!local.isEmpty()) {
        folders.local = withTrailingSeparator(
            QFileInfo(local).isRelative() ? QDir(programFolder).absoluteFilePath(local) : local);
        folders.server = folders.local;
    }
    const QString server =
        ini.value(kSection, QStringLiteral("ServerBackupFolder")).value_or(QString());
    if (!server.isEmpty())
        folders.server = withTrailingSeparator(server);
    return folders;
}

QString BackupFolders::withTrailingSeparator(const QString& path) {
    if (path.endsWith(QLatin1Char('/')) || path.endsWith(QLatin1Char('\\')))
        return path;
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    const qsizetype backslash = path.lastIndexOf(QLatin1Char('\\'));
    if (slash < 0 && backslash < 0) {
        const bool drive = path.size() == 2 && path.at(0).isLetter() && path.at(1) == QLatin1Char(':');
        return path + (drive ? QLatin1Char('\\') : QLatin1Char('/'));
    }
    return path + (backslash > slash ? QLatin1Char('\\') : QLatin1Char('/'));
}

bool BackupFolders::localFolderUsable() const {
    const QFileInfo folder(local);
    return folder.isDir() && folder.isReadable() && folder.isWritable() && folder.isExecutable();
}

QString BackupFolders::fullBackup(const QString& dbName) const {
    return local + dbName + kFullBackupSuffix;
}

QString BackupFolders::logBackup(const QString& dbName) const {
    return local + dbName + kLogBackupSuffix;
}

QString BackupFolders::serverFullBackup(const QString& dbName) const {
    return server + dbName + kFullBackupSuffix;
}

QString BackupFolders::serverLogBackup(const QString& dbName) const {
    return server + dbName + kLogBackupSuffix;
}

QString BackupFolders::restoreFullBackup(const QString& dbName) const {
    return local + dbName + kFullBackupSuffix + kRestoreMark;
}

QString BackupFolders::restoreLogBackup(const QString& dbName) const {
    return local + dbName + kLogBackupSuffix + kRestoreMark;
}

QString BackupFolders::serverRestoreFullBackup(const QString& dbName) const {
    return server + dbName + kFullBackupSuffix + kRestoreMark;
}

QString BackupFolders::serverRestoreLogBackup(const QString& dbName) const {
    return server + dbName + kLogBackupSuffix + kRestoreMark;
}
