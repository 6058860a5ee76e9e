#pragma once

#include <QString>

// Where the maker's web server is and which authorities vouch for it. The build sets a default
// address; an administrator may override both in the INI file, section [OrvelSQLBackup]:
//   WebServer=https://updates.example.org:8443
//   WebCAFile=/etc/orvel/update-ca.pem
// The request paths ("/myip.php", "/secure/...") are appended to the address.
struct WebServer {
    QString base;   // scheme, host and optional port, no trailing '/'
    QString caFile; // PEM authorities trusted in addition to the system's; empty: system only

    // The address of a path on the server ("/myip.php").
    QString url(const QString& path) const { return base + path; }

    // The settings of the INI file at iniPath, with the build's default address where the key
    // is missing or empty. A relative CA file is taken relative to the INI file's folder.
    static WebServer fromIni(const QString& iniPath);
    static QString defaultBase();
};
