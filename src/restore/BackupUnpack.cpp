#include "restore/BackupUnpack.h"

#include "archive/ZipReader.h"
#include "platform/ProgramError.h"

#include <QFile>
#include <QFileInfo>
#include <QStorageInfo>

namespace {

struct Entries {
    const ZipEntry* full = nullptr;
    const ZipEntry* log = nullptr;
};

Entries backupEntries(const ZipReader& reader, const QString& dbName, const QString& archive) {
    Entries found;
    for (const ZipEntry& e : reader.entries()) {
        if (e.fileName.compare(dbName + QStringLiteral(".BAK"), Qt::CaseInsensitive) == 0)
            found.full = &e;
        else if (e.fileName.compare(dbName + QStringLiteral(".TRN"), Qt::CaseInsensitive) == 0)
            found.log = &e;
    }
    if (!found.full)
        throw ProgramError(
            QStringLiteral("Das Archiv %1 enthält keine Datei %2.BAK").arg(archive, dbName));
    return found;
}

void checkRoom(const QString& folder, quint64 needed) {
    QStorageInfo storage(folder);
    storage.refresh();
    if (storage.isValid() && quint64(storage.bytesAvailable()) < needed)
        throw ProgramError(
            QStringLiteral("Zu wenig freier Platz in %1: %2 Bytes nötig, %3 Bytes frei")
                .arg(folder)
                .arg(needed)
                .arg(storage.bytesAvailable()));
}

UnpackedBackup unpackTo(const RestoreArchive& archive, const QString& dbName,
                        const QString& password, const QString& folder, UnpackedBackup files) {
    ZipReader reader(archive.path);
    const Entries entries = backupEntries(reader, dbName, archive.name);
    checkRoom(folder, entries.full->size + (entries.log ? entries.log->size : 0));
    try {
        reader.extractTo(*entries.full, password, files.fullBackup, ZipReader::Existing::Replace);
        if (entries.log)
            reader.extractTo(*entries.log, password, files.logBackup,
                             ZipReader::Existing::Replace);
    } catch (...) {
        BackupUnpack::discard(files);
        throw;
    }
    if (!entries.log) {
        files.logBackup.clear();
        files.serverLogBackup.clear();
    }
    return files;
}

} // namespace

UnpackedBackup BackupUnpack::unpack(const RestoreArchive& archive, const QString& dbName,
                                    const QString& password, const BackupFolders& folders) {
    UnpackedBackup files;
    files.fullBackup = folders.restoreFullBackup(dbName);
    files.logBackup = folders.restoreLogBackup(dbName);
    files.serverFullBackup = folders.serverRestoreFullBackup(dbName);
    files.serverLogBackup = folders.serverRestoreLogBackup(dbName);
    files = unpackTo(archive, dbName, password, folders.local, files);
    // SQL Server reads them under its own account, through the folder's group (the backup
    // folder of a server on this machine is shared with it that way); nobody else.
    for (const QString& path : {files.fullBackup, files.logBackup})
        if (!path.isEmpty())
            QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup);
    return files;
}

UnpackedBackup BackupUnpack::unpackInto(const RestoreArchive& archive, const QString& dbName,
                                        const QString& password, const QString& targetFolder) {
    const QString folder = BackupFolders::withTrailingSeparator(targetFolder);
    if (!QFileInfo(folder).isDir())
        throw ProgramError(QStringLiteral("Den Ordner %1 gibt es nicht").arg(folder));
    UnpackedBackup files;
    files.fullBackup = folder + dbName + QStringLiteral(".BAK");
    files.logBackup = folder + dbName + QStringLiteral(".TRN");
    for (const QString& path : {files.fullBackup, files.logBackup})
        if (QFileInfo::exists(path) || QFileInfo(path).isSymLink())
            throw ProgramError(
                QStringLiteral("Die Datei %1 gibt es schon; sie wird nicht überschrieben")
                    .arg(path));
    ZipReader reader(archive.path);
    const Entries entries = backupEntries(reader, dbName, archive.name);
    checkRoom(folder, entries.full->size + (entries.log ? entries.log->size : 0));
    try {
        reader.extractTo(*entries.full, password, files.fullBackup);
        if (entries.log)
            reader.extractTo(*entries.log, password, files.logBackup);
    } catch (...) {
        discard(files);
        throw;
    }
    if (!entries.log)
        files.logBackup.clear();
    return files;
}

void BackupUnpack::discard(const UnpackedBackup& files) {
    for (const QString& path : {files.fullBackup, files.logBackup})
        if (!path.isEmpty())
            QFile::remove(path);
}
