#pragma once

#include "backup/ArchivePackager.h"
#include "settings/BackupJob.h"

#include <QString>
#include <functional>

class Dataset;
class ErrorCount;
class LogSink;

// One pass over all backup jobs: the SQL Server steps, the archive and its copy, the upload,
// and the error count of the run.
class BackupRun {
public:
    static constexpr int UploadAttempts = 10;

    struct Steps {
        // The SQL Server steps of the current job; they catch and count their own failures.
        std::function<void(const BackupJob&)> arbeitsprozess;
        // Packs the current job's backup files; an exception leaves it only when the run must end.
        std::function<ArchiveLocation(const BackupJob&)> zipprozess;
        // One upload attempt; true when the archive arrived.
        std::function<bool(const QString& ftpdateiname, const QString& ftpdatenbankname)> ftphochladen;
    };

    BackupRun(LogSink& log, ErrorCount& errors, Dataset& queryDatenbanken, Steps steps);

    void setSteps(Steps steps) { m_steps = std::move(steps); }
    // The first start parameter: exactly "nozip" leaves out packaging and upload.
    void setFirstStartParameter(const QString& parameter) { m_firstStartParameter = parameter; }

    // The run. A failure outside the guarded steps (opening or walking the job list, storing a
    // filled-in archive name) ends it: its message, a failure line and the count are logged and
    // it counts as one more error. A start while a run is in progress is refused with a log line.
    void btnStartClick();
    bool isRunning() const { return m_running; }

    // The job of the current row, as the steps read it.
    static BackupJob currentJob(Dataset& jobs);

private:
    void walkJobs();
    void uploadStep(const BackupJob& job, const ArchiveLocation& archive);

    LogSink& m_log;
    ErrorCount& m_errors;
    Dataset& m_jobs;
    Steps m_steps;
    QString m_firstStartParameter;
    bool m_running = false;
};
