#pragma once

#include <QString>

// Where a SQL Server listens, as the Data Source of a connection string names it:
// "host", "host,port", "host\instance", "(local)" or "." for this machine, optionally
// with an instance ("(local)\inst", ".\inst") and an optional "tcp:" prefix.
struct SqlServerAddress {
    QString host;     // never empty; "(local)" and "." become 127.0.0.1
    int port = 0;     // 0: not given
    QString instance; // empty: default instance

    // Throws ProgramError on an empty host or a port that is not 1..65535.
    static SqlServerAddress parse(const QString& dataSource);

    // The server name handed to FreeTDS: "host:port" when a port is given (it wins over an
    // instance, as with SQL Server's own tools), "host\instance" for FreeTDS to ask the
    // SQL Browser, the bare host otherwise (so freetds.conf may still name it).
    QString freeTdsServerName() const;
};

// An OLE DB connection string for the SQLOLEDB provider: "Key=Value;Key=Value".
// Keys are case-insensitive; a value may be enclosed in double or single quotes, in which
// a doubled quote stands for one quote character.
struct SqlConnectionString {
    QString provider;
    QString dataSource;
    QString userId;
    QString password;
    QString initialCatalog;
    int connectTimeout = 15; // seconds, the provider's default

    // Throws ProgramError on malformed text, a provider other than SQLOLEDB(.1) or a
    // missing Data Source.
    static SqlConnectionString parse(const QString& text);

    // A value as it must be written after "Key=" so that parse() reads it back unchanged:
    // quoted when it holds ';', a quote or blanks at either end.
    static QString quoteValue(const QString& value);

    // "Provider=SQLOLEDB.1;Password=..;Persist Security Info=True;User ID=..;
    // Initial Catalog=..;Data Source=..", every value through quoteValue().
    static QString build(const QString& password, const QString& userId,
                         const QString& initialCatalog, const QString& dataSource);
};
