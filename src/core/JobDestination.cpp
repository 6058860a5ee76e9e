#include "core/JobDestination.h"

#include "platform/IniFile.h"

DestinationConfig jobDestination(const BackupJob& job, const QString& keysFolder) {
    DestinationConfig c;
    c.protocol = job.FTP_SSL;
    c.host = job.FTP_SERVER;
    c.port = job.FTP_Port;
    c.user = job.FTP_Benutzer;
    c.password = job.FTP_Passwort;
    c.pathPrefix = job.FTP_Pfad;
    c.passive = job.FTP_Passiv == 1;
    c.region = job.S3_Region;
    c.keysFolder = keysFolder;
    c.jobName = job.DBName;
    return c;
}

int s3ObjectLockDays(const QString& iniPath) {
    bool ok = false;
    const int days =
        IniFile(iniPath)
            .value(QStringLiteral("OrvelSQLBackup"), QStringLiteral("S3ObjectLockDays"))
            .value_or(QString())
            .toInt(&ok);
    return ok && days > 0 ? days : 0;
}
