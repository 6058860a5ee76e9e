#pragma once

#include "settings/Dataset.h"
#include "settings/SettingsColumns.h"
#include "settings/SettingsCommand.h"
#include "settings/SettingsConnection.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

class LogSink;

// The settings file sqlback.mdb in the program folder: creation, connection, schema upgrade
// and the datasets through which the program reads and edits its settings.
class SettingsDatabase {
public:
    static const QString fileName; // "sqlback.mdb"
    static const QString databasePassword;

    // programFolder ends in '/'.
    SettingsDatabase(LogSink& log, QString programFolder);

    // Creates an empty, encrypted settings file at the path; false on any failure (folder not
    // writable, file already there, …), never throws.
    static bool CreateAccessDatabase(const QString& Database);

    static QString creationConnectionString(const QString& path);
    QString useConnectionString() const;
    QString databasePath() const { return m_programFolder + fileName; }

    // Connects, brings the schema up to date, opens queryBenutzerdaten and queryDatenbanken and
    // makes sure the general-settings row exists. No connection is logged and returns normally
    // with the datasets closed; a failure after connecting throws ProgramError.
    void checkdatabase();

    // When the program closes: stores a pending edit or new row of queryDatenbanken, then of
    // queryBenutzerdaten. A refusal throws ProgramError; what follows it is not stored then.
    // Datasets that are closed or only browsing are left alone.
    void postPendingChanges();

    // Translates one schema statement (SQL Server dialect) and executes it; a failure is dropped.
    void dbbefehl(const QString& tempsql);

    // The schema version this program writes: 15 August 2016, 00:00.
    static QDateTime currentSchemaVersion();
    static QString generalTableStatement();
    static const QStringList& tableStatements();   // benutzerdaten, dbversion, sqldatenbanken
    static const QStringList& upgradeStatements(); // in the order they run

    SettingsConnection ADOConnection1;
    Dataset queryVersion{QStringLiteral("select * FROM DBVersion")};
    Dataset queryBenutzerdaten{QStringLiteral("select * FROM ") + SettingsColumns::generalTable};
    Dataset queryDatenbanken{QStringLiteral("select * FROM ") + SettingsColumns::jobsTable};
    SettingsCommand ADOQuery1;

private:
    void upgradeSchema();
    // Adds the columns newer than the schema version (the ZIP password, the S3 region) where they
    // are missing; queryBenutzerdaten is open.
    void addLaterColumns();

    LogSink& m_log;
    QString m_programFolder;
    QString m_fileFailure; // message of the first statement kept from the file (lock, disk full)
};
