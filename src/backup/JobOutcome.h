#pragma once

#include <QString>

// What one job of a backup run left behind, for monitoring.
struct JobOutcome {
    QString dbName;
    qint64 archiveBytes = 0;  // the archive this run made; 0 when none was made
    bool uploaded = false;    // false when the upload failed or was not asked for
    bool uploadAsked = false; // the job asked for an upload and this run came to it
};
