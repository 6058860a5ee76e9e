#pragma once

#include "backup/BackupFolders.h"
#include "sqlserver/SqlCommand.h"
#include "sqlserver/SqlConnection.h"
#include "sqlserver/SqlQuery.h"
#include "settings/BackupJob.h"

#include <QString>

class ErrorCount;
class LogSink;

// The SQL Server side of one backup job: connection check, recovery model, file list, full
// backup, integrity check, data and log file shrinks and, in the FULL recovery model, the
// log backups. Every step logs its start and outcome; a failed step logs the server's text
// and a "FEHLER" line, adds 1 to the error count, and the job goes on.
class SqlMaintenance {
public:
    static constexpr int DefaultCommandTimeout = 3600; // seconds per maintenance statement
    static constexpr int QueryTimeout = 60;            // seconds per query

    SqlMaintenance(LogSink& log, ErrorCount& errors, QString programFolder);

    // The maintenance steps of one job (DBName not empty), with its backup files in `folders`.
    // Throws ProgramError only when called while a job or a connection test of this object is
    // still running.
    void arbeitsprozess(const BackupJob& job, const BackupFolders& folders);

    // Tries to log in as the job would: "OK", "Erfolglos" or, with no database name,
    // "keine Datenbank eingestellt". No log line, no error count. After success SQLCon
    // stays open until the next test or job. Throws ProgramError (and touches nothing)
    // when called while a job of this object runs.
    QString connectionTest(const BackupJob& job);
    // A job or a connection test is under way (the window's thread waits for the server).
    bool isBusy() const { return m_busy; }

    // Backup files of the last job given to arbeitsprozess (empty before the first).
    const QString& fullBackupFile() const { return m_fullBackupFile; }
    const QString& logBackupFile() const { return m_logBackupFile; }

    static QString jobConnectionString(const BackupJob& job);
    static QString masterConnectionString(const BackupJob& job);

    // The INI file whose [OrvelSQLBackup] VerifyBackup=1 switches the backup check on: the
    // backups are written WITH CHECKSUM and each is read back by RESTORE VERIFYONLY. Read at the
    // start of every job; never written. No file (the default), another value: no check.
    void setIniFile(const QString& path) { m_iniFile = path; }
    bool verifyBackup() const;

    // Statement time-out; tests shorten it.
    void setCommandTimeout(int seconds) { m_commandTimeout = seconds; }
    int commandTimeout() const { return m_commandTimeout; }

    SqlConnection SQLCon;
    SqlQuery queryMaster;
    SqlQuery querysysfiles;
    SqlDataSource sourceSysFiles;
    SqlCommand SQLCommand;

private:
    struct Step {
        const char16_t* start;
        const char16_t* success;
        const char16_t* failure;
        const char16_t* skip; // nullptr: the step always runs
    };
    void log(const QString& text);
    void fail(const std::exception& e, const QString& failureLine);
    // The "Hinweis" line, once per job, when a connection of it went to another machine
    // encrypted with a certificate nobody checked.
    void noteUnverified();
    // True when the statement ran and succeeded.
    bool runStatement(const Step& step, const QString& statement, const QString& dbName,
                      bool fullModel);

    LogSink& m_log;
    ErrorCount& m_errors;
    QString m_programFolder;
    QString m_fullBackupFile;
    QString m_logBackupFile;
    QString m_iniFile;
    int m_commandTimeout = DefaultCommandTimeout;
    bool m_busy = false;
    bool m_unverifiedNoted = false;
};
