#pragma once

#include "settings/BackupJob.h"
#include "transfer/Destination.h"

#include <QString>

// The destination of a job as the transfer sees it: the job's server, login, folder, protocol
// and S3 region, and the folder where the servers' kept keys lie (the program folder).
DestinationConfig jobDestination(const BackupJob& job, const QString& keysFolder);

// S3ObjectLockDays of the INI file's [OrvelSQLBackup] section: the days every stored S3 object
// stays locked; 0 when missing, not a number or negative.
int s3ObjectLockDays(const QString& iniPath);

// KeepWeekly and KeepMonthly of the INI file's [OrvelSQLBackup] section: how many weekly and
// monthly archives a destination keeps beside the weekday archives; 0 when missing, not a number
// or negative.
struct ArchiveCounts {
    int weekly = 0;
    int monthly = 0;
};
ArchiveCounts keptArchives(const QString& iniPath);
