#pragma once

#include <QString>

// The tables and columns of the settings file, each name written once: the schema statements,
// the records and the editor all take them from here.
namespace SettingsColumns {

// Table sqldatenbanken: one row per backup job.
inline const QString jobsTable = QStringLiteral("sqldatenbanken");
inline const QString DBName = QStringLiteral("DBName");
inline const QString DBServer = QStringLiteral("DBServer");
inline const QString DBBenutzer = QStringLiteral("DBBenutzer");
inline const QString DBPasswort = QStringLiteral("DBPasswort");
inline const QString ZIP_Dateiname = QStringLiteral("ZIP_Dateiname");
inline const QString ZIP_erstellen = QStringLiteral("ZIP_erstellen");
inline const QString FTP_aktiv = QStringLiteral("FTP_aktiv");
inline const QString FTP_SERVER = QStringLiteral("FTP_SERVER");
inline const QString FTP_Benutzer = QStringLiteral("FTP_Benutzer");
inline const QString FTP_Passwort = QStringLiteral("FTP_Passwort");
inline const QString FTP_Port = QStringLiteral("FTP_Port");
inline const QString FTP_Pfad = QStringLiteral("FTP_Pfad");
inline const QString FTP_SSL = QStringLiteral("FTP_SSL");
inline const QString FTP_Passiv = QStringLiteral("FTP_Passiv");
inline const QString FTP_Binary = QStringLiteral("FTP_Binary");
// S3: the region requests are signed for; empty: the one an AWS host name carries, else
// us-east-1.
inline const QString S3_Region = QStringLiteral("S3_Region");

// Table benutzerdaten: the one row of general settings.
inline const QString generalTable = QStringLiteral("benutzerdaten");
inline const QString ID = QStringLiteral("ID");
inline const QString VersenderName = QStringLiteral("VersenderName");
inline const QString VersenderEmail = QStringLiteral("VersenderEmail");
inline const QString VersenderBenutzerName = QStringLiteral("VersenderBenutzerName");
inline const QString VersenderBenutzerPasswort = QStringLiteral("VersenderBenutzerPasswort");
inline const QString EmpfaengerEmail = QStringLiteral("EmpfaengerEmail");
inline const QString SMTPServer = QStringLiteral("SMTPServer");
inline const QString Port = QStringLiteral("Port");
inline const QString SMTPSSLTLS = QStringLiteral("SMTPSSLTLS");
inline const QString OrdnerZIPDateien = QStringLiteral("OrdnerZIPDateien");
inline const QString ZIP_Passwort = QStringLiteral("ZIP_Passwort");

// Table dbversion: the schema version.
inline const QString versionTable = QStringLiteral("dbversion");
inline const QString DBVERSION = QStringLiteral("DBVERSION");

} // namespace SettingsColumns
