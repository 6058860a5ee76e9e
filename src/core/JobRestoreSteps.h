#pragma once

#include "core/Subsystems.h"

#include <QString>

// The restore's steps with the program's own parts: the job's weekday archive from the program
// folder, the copy folder or the job's destination, the reader, and the job's SQL Server. The
// file work runs on the worker, so a window stays alive meanwhile.
class JobRestoreSteps final : public RestoreSteps {
public:
    explicit JobRestoreSteps(QString programFolder) : m_programFolder(std::move(programFolder)) {}

    RestoreArchive findArchive(const BackupJob& job, const QString& copyFolder, int weekday,
                               RestoreFrom from) override;
    UnpackedBackup unpack(const RestoreArchive& archive, const BackupJob& job,
                          const QString& zipPassword, const BackupFolders& folders,
                          const QString& targetFolder) override;
    void discard(const RestoreArchive& archive, const UnpackedBackup& files) override;
    bool databaseExists(const BackupJob& job, const QString& name) override;
    void restore(const BackupJob& job, const UnpackedBackup& files, const QString& target,
                 bool replace) override;
    void checkDatabase(const BackupJob& job, const QString& target) override;
    void dropDatabase(const BackupJob& job, const QString& target) override;

    // Statement time-out of the restore's statements; tests shorten it.
    void setCommandTimeout(int seconds) { m_commandTimeout = seconds; }

private:
    QString m_programFolder;
    int m_commandTimeout = 3600;
};
