#pragma once

#include "core/JobDestination.h"
#include "transfer/UploadDispatch.h"
#include "transfer/sftp/TTGPuttySFTP.h"

// The upload dispatch as the backup run calls it: a job's destination with the program folder's
// kept keys, and one run of attempts whose state goes from call to call until newRun().
struct UploadUnderTest {
    UploadDispatch dispatch;
    UploadAttempt attempt;
    // Whether someone watches the run, as the core decides it (the window on a display).
    bool attended = true;

    UploadUnderTest(LogSink& log, ErrorCount& errors, SftpUploadView* view = nullptr)
        : dispatch(log, errors, view) {}

    bool ftphochladen(const BackupJob& job, const QString& archivePath, const QString& name) {
        DestinationConfig config = jobDestination(job, TTGPuttySFTP::libraryFolder());
        config.attended = attended;
        const bool uploaded = dispatch.ftphochladen(config, archivePath, name, attempt);
        ++attempt.number;
        return uploaded;
    }
    void newRun() { attempt = UploadAttempt(); }
};
