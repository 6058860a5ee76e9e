#pragma once

#include <QString>

// The fields of one backup job (a row of sqldatenbanken) that the backup engine reads.
struct BackupJob {
    QString DBName;
    QString DBServer;
    QString DBBenutzer;
    QString DBPasswort;
    QString ZIP_Dateiname;
    bool FTP_aktiv = false;
};
