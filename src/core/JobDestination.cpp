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

namespace {

// A count of the [OrvelSQLBackup] section; 0 when missing, not a number or negative.
int iniCount(const IniFile& ini, const QString& key) {
    bool ok = false;
    const int value =
        ini.value(QStringLiteral("OrvelSQLBackup"), key).value_or(QString()).trimmed().toInt(&ok);
    return ok && value > 0 ? value : 0;
}

} // namespace

int s3ObjectLockDays(const QString& iniPath) {
    return iniCount(IniFile(iniPath), QStringLiteral("S3ObjectLockDays"));
}

ArchiveCounts keptArchives(const QString& iniPath) {
    const IniFile ini(iniPath);
    return {iniCount(ini, QStringLiteral("KeepWeekly")),
            iniCount(ini, QStringLiteral("KeepMonthly"))};
}
