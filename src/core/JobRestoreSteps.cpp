#include "core/JobRestoreSteps.h"

#include "core/JobDestination.h"
#include "platform/ProgramError.h"
#include "platform/WorkerCall.h"
#include "restore/ArchiveLookup.h"
#include "restore/BackupUnpack.h"
#include "restore/SqlRestore.h"

#include <QDate>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace {
QString zipName(const BackupJob& job) {
    return job.ZIP_Dateiname.isEmpty() ? job.DBName : job.ZIP_Dateiname;
}
} // namespace

RestoreArchive JobRestoreSteps::findArchive(const BackupJob& job, const QString& copyFolder,
                                            int weekday, RestoreFrom from) {
    const QString name = zipName(job);
    const QString copy =
        copyFolder.isEmpty() ? QString() : BackupFolders::withTrailingSeparator(copyFolder);
    QStringList misses;
    const auto tryFolder = [&](const QString& folder) -> std::optional<RestoreArchive> {
        try {
            return ArchiveLookup::inFolder(folder, name, weekday);
        } catch (const std::exception& e) {
            misses << exceptionText(e);
            return std::nullopt;
        }
    };
    if (from == RestoreFrom::Any || from == RestoreFrom::Local)
        if (auto found = tryFolder(m_programFolder))
            return *found;
    if ((from == RestoreFrom::Any || from == RestoreFrom::Copy) && !copy.isEmpty())
        if (auto found = tryFolder(copy))
            return *found;
    if (from == RestoreFrom::Copy && copy.isEmpty())
        throw ProgramError(QStringLiteral("In den allgemeinen Einstellungen ist kein Kopieordner "
                                          "eingetragen"));
    if (from == RestoreFrom::Any || from == RestoreFrom::Remote) {
        if (from == RestoreFrom::Remote || job.FTP_aktiv) {
            if (job.FTP_SERVER.isEmpty())
                throw ProgramError(QStringLiteral("FTP-Server fehlt für Datenbank: ") + job.DBName);
            const std::unique_ptr<Destination> destination =
                makeDestination(jobDestination(job, m_programFolder));
            if (!destination)
                throw ProgramError(
                    QStringLiteral("Unbekanntes Protokoll %1 (FTP_SSL)").arg(job.FTP_SSL));
            DestinationEvents unattended; // a host key nobody confirmed is refused
            return workerCall([&] {
                return ArchiveLookup::atDestination(*destination, name, weekday, m_programFolder,
                                                    unattended, QDate::currentDate());
            });
        }
    }
    throw ProgramError(misses.isEmpty() ? QStringLiteral("Kein Archiv gefunden")
                                        : misses.join(QStringLiteral("; ")));
}

UnpackedBackup JobRestoreSteps::unpack(const RestoreArchive& archive, const BackupJob& job,
                                       const QString& zipPassword, const BackupFolders& folders,
                                       const QString& targetFolder) {
    return workerCall([&] {
        return targetFolder.isEmpty()
                   ? BackupUnpack::unpack(archive, job.DBName, zipPassword, folders)
                   : BackupUnpack::unpackInto(archive, job.DBName, zipPassword, targetFolder);
    });
}

void JobRestoreSteps::discard(const RestoreArchive& archive, const UnpackedBackup& files) {
    BackupUnpack::discard(files);
    if (archive.temporary && !archive.path.isEmpty())
        QFile::remove(archive.path);
}

bool JobRestoreSteps::databaseExists(const BackupJob& job, const QString& name) {
    SqlRestore sql(job);
    return sql.databaseExists(name);
}

void JobRestoreSteps::restore(const BackupJob& job, const UnpackedBackup& files,
                              const QString& target, bool replace) {
    SqlRestore sql(job);
    sql.setCommandTimeout(m_commandTimeout);
    const SqlRestore::DefaultPaths paths = sql.defaultPaths();
    const QList<BackupFileEntry> fileList = sql.fileList(files.serverFullBackup);
    QList<BackupSetEntry> logSets;
    if (!files.serverLogBackup.isEmpty())
        for (const BackupSetEntry& set : sql.backupSets(files.serverLogBackup))
            if (set.backupType == 2)
                logSets << set;
    std::sort(logSets.begin(), logSets.end(),
              [](const BackupSetEntry& a, const BackupSetEntry& b) {
                  return a.position < b.position;
              });
    sql.restoreDatabase(target, files.serverFullBackup,
                        SqlRestore::movesFor(target, fileList, paths), logSets.isEmpty(), replace);
    for (qsizetype i = 0; i < logSets.size(); ++i)
        sql.restoreLog(target, files.serverLogBackup, logSets[i].position,
                       i == logSets.size() - 1);
}

void JobRestoreSteps::checkDatabase(const BackupJob& job, const QString& target) {
    SqlRestore sql(job);
    sql.setCommandTimeout(m_commandTimeout);
    sql.checkDatabase(target);
}

void JobRestoreSteps::dropDatabase(const BackupJob& job, const QString& target) {
    SqlRestore sql(job);
    sql.setCommandTimeout(m_commandTimeout);
    sql.dropDatabase(target);
}
