#pragma once

#include "backup/ArchivePackager.h"
#include "settings/BackupJob.h"

#include <QList>
#include <QString>
#include <functional>

class ErrorCount;
class LogSink;

// One pass over all backup jobs: the SQL Server steps, the archive and its copy, the upload,
// and the error count of the run.
class BackupRun {
public:
    static constexpr int UploadAttempts = 10;

    struct Steps {
        // The jobs of the run, in order; throws when they cannot be read (that ends the run).
        std::function<QList<BackupJob>()> jobs;
        // Stores an archive name filled in for a job; throws when it cannot (that ends the run).
        std::function<void(const BackupJob& job, const QString& zipName)> storeZipName;
        // The SQL Server steps of a job; they catch and count their own failures.
        std::function<void(const BackupJob&)> arbeitsprozess;
        // Packs a job's backup files; an exception leaves it only when the run must end.
        std::function<ArchiveLocation(BackupJob& job, const ArchivePackager::SaveZipName& save)>
            zipprozess;
        // One upload attempt; true when the archive arrived.
        std::function<bool(const BackupJob& job, const QString& ftpdateiname,
                           const QString& ftpdatenbankname)>
            ftphochladen;
    };

    BackupRun(LogSink& log, ErrorCount& errors, Steps steps);

    void setSteps(Steps steps) { m_steps = std::move(steps); }
    // The first start parameter: exactly "nozip" leaves out packaging and upload.
    void setFirstStartParameter(const QString& parameter) { m_firstStartParameter = parameter; }

    // The run. The count starts at `alreadyFailed` (failures that belong to this run but came
    // before it, such as a failed start preparation). A failure outside the guarded steps (reading
    // the jobs, storing a filled-in archive name) ends it: its message, a failure line and the
    // count are logged and it counts as one more error. A start while a run is in progress is
    // refused with a log line.
    void run(qint32 alreadyFailed = 0);
    bool isRunning() const { return m_running; }

private:
    void runJobs();
    void uploadStep(const BackupJob& job, const ArchiveLocation& archive);

    LogSink& m_log;
    ErrorCount& m_errors;
    Steps m_steps;
    QString m_firstStartParameter;
    bool m_running = false;
};
