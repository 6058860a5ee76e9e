#pragma once

#include "backup/BackupFolders.h"
#include "backup/JobOutcome.h"
#include "core/ProgramParts.h"
#include "settings/BackupJob.h"

#include <QList>
#include <QString>

class ErrorCount;
class LogSink;
class RestoreRun;

// One pass over all backup jobs: the SQL Server steps, the archive and its copy, the upload
// with its attempts, and the error count of the run. The steps themselves are the parts'.
class BackupRun {
public:
    static constexpr int UploadAttempts = 10;

    // Uses the parts' settings (the jobs, a filled-in archive name, the copy folder), SQL Server
    // steps, packaging and uploader; they must outlive the run.
    BackupRun(LogSink& log, ErrorCount& errors, const ProgramParts& parts);

    // On ISO weekday `day` (1-7; 0: never) every job's archive is restored as a test after its
    // upload, from its destination (from the copy folder when the job uploads nothing); from
    // the program folder when tonight's upload or copy failed, since the destination or the copy
    // folder may then still hold last week's archive of the day. Without tonight's archive the
    // test fails. A failed test counts one error.
    void setRestoreTest(RestoreRun* restore, int day) {
        m_restoreTest = restore;
        m_restoreTestDay = day;
    }

    // The first start parameter: exactly "nozip" leaves out packaging and upload.
    void setFirstStartParameter(const QString& parameter) { m_firstStartParameter = parameter; }

    // The run, with the backup files of every job in `folders`. The count starts at
    // `alreadyFailed` (failures that belong to this run but came before it, such as a failed
    // start preparation). A failure outside the guarded steps (reading the jobs, storing a
    // filled-in archive name) ends it: its message, a failure line and the count are logged and
    // it counts as one more error. A start while a run is in progress is refused with a log line.
    void run(const BackupFolders& folders, qint32 alreadyFailed = 0);
    bool isRunning() const { return m_running; }
    // What each job of the last run left, in the order of the jobs (for monitoring).
    const QList<JobOutcome>& outcomes() const { return m_outcomes; }

private:
    void runJobs(const BackupFolders& folders);
    // False, with its line and one error counted, when the job's database or archive name
    // would make a path outside the program folder.
    bool fileNamesArePlain(const BackupJob& job);
    // The restore test of tonight's archive, when `day`, the night it is named for, is the
    // night for it.
    void restoreTest(const BackupJob& job, const BackupFolders& folders,
                     const ArchiveLocation& archive, const QDate& day, JobOutcome& outcome);
    // True when the archive was uploaded; then the weekly and monthly archives of `day`, the
    // night the archive is named for, are kept beside it.
    bool uploadStep(const BackupJob& job, const ArchiveLocation& archive, const QDate& day);

    LogSink& m_log;
    ErrorCount& m_errors;
    const ProgramParts& m_parts;
    QString m_firstStartParameter;
    RestoreRun* m_restoreTest = nullptr;
    int m_restoreTestDay = 0;
    QList<JobOutcome> m_outcomes;
    bool m_running = false;
};
