#pragma once

#include <QString>

// How the connections to SQL Server are encrypted, from [OrvelSQLBackup] of the program's INI:
//
// - SqlEncrypt=require (the default, also for a missing or empty value): a connection to another
//   machine is encrypted, its certificate is not checked (SQL Server always offers TLS, with a
//   certificate of its own making at the least); one to this machine as the server chooses.
// - SqlEncrypt=strict: every connection encrypted, the certificate verified against the system's
//   authorities plus the PEM file SqlCAFile= (relative to the INI's folder), its name checked
//   against the server's host name.
//
// Either way the login, with its password, goes out only after TLS is up where TLS is asked for.
struct SqlEncryption {
    enum class Mode { Require, Strict };
    // What a connection asks FreeTDS for.
    enum class Level {
        Request, // TLS if the server wants it, else the login alone encrypted if it offers TLS
        Require, // TLS or no connection; any certificate
        Verify,  // TLS or no connection; the certificate and its name checked
    };

    Mode mode = Mode::Require;
    QString caFile;  // strict only: an absolute path or empty
    QString warning; // a log line about an unknown SqlEncrypt= value, else empty

    // Read at every call; a missing file or key gives the default.
    static SqlEncryption fromIni(const QString& iniPath);

    // 127.0.0.1, ::1, localhost (and "(local)" and ".", which the address parser turns into
    // 127.0.0.1): a connection that never leaves this machine.
    static bool isThisMachine(const QString& host);

    Level levelFor(const QString& host) const;
};
