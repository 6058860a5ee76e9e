#pragma once

#include <QString>

// One backup job, a row of sqldatenbanken, as a value.
struct BackupJob {
    QString DBName; // the table's key
    QString DBServer;
    QString DBBenutzer;
    QString DBPasswort;
    QString ZIP_Dateiname;
    bool ZIP_erstellen = false;
    bool FTP_aktiv = false;
    QString FTP_SERVER;
    QString FTP_Benutzer;
    QString FTP_Passwort;
    int FTP_Port = 0;
    QString FTP_Pfad;
    int FTP_SSL = 0;    // 0 FTP, 1 FTPS, 2 SFTP, 3 S3
    int FTP_Passiv = 0; // 1 passive, 0 active data connections
    int FTP_Binary = 0; // 0 text, 1 binary
    QString S3_Region;  // empty: the region of an AWS host name, else us-east-1

    bool operator==(const BackupJob&) const = default;
};
