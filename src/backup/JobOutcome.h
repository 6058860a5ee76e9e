#pragma once

#include <QDateTime>
#include <QString>

// What one job of a backup run left behind, for monitoring.
struct JobOutcome {
    QString dbName;
    qint64 archiveBytes = 0;  // the archive this run made; 0 when none was made
    bool uploaded = false;    // false when the upload failed or was not asked for
    bool uploadAsked = false; // the job asked for an upload and this run came to it
    // The restore test of the night's archive, when the run made one.
    bool restoreTested = false;
    bool restoreOk = false;
    QDateTime restoreTestEnd;
};
