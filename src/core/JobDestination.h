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
