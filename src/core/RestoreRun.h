#pragma once

#include "backup/BackupFolders.h"
#include "core/ProgramParts.h"
#include "restore/RestoreFiles.h"

#include <QString>

class ErrorCount;
class LogSink;

// What a restore is asked to do.
struct RestoreRequest {
    QString job;     // the job's DBName
    int weekday = 0; // the archive of this ISO weekday; 0: the newest
    RestoreFrom from = RestoreFrom::Any;
    QString as;           // the database restored into; empty: the job's own
    bool replace = false; // an existing target may be replaced
    bool test = false;    // into a scratch database that is checked and dropped again
    QString unpackTo;     // only find, check and unpack the backup files into this folder
};

// A restore of one job's archive, by hand or as the nightly test: the archive found (and
// fetched), checked and unpacked beside the night's backup files, restored with its log
// backups, checked by the server and, for a test, dropped again. Every step has its line; a
// failed step logs its own message and a FEHLER line and counts one error. A restore never goes
// over an existing database unless the caller named it and asked to replace it; a test's
// scratch database must not exist, unless the program itself left it behind (it keeps a note of
// the ones it makes), and then it is dropped first.
class RestoreRun {
public:
    enum Outcome { Restored = 0, Failed = 1, WrongRequest = 2 };

    // The scratch database of a job's restore test.
    static QString scratchName(const QString& dbName);

    RestoreRun(LogSink& log, ErrorCount& errors, const ProgramParts& parts,
               QString programFolder);

    Outcome run(const RestoreRequest& request, const BackupFolders& folders);
    // The nightly test of a job's archive of the given weekday, from its destination or the
    // copy folder.
    Outcome test(const BackupJob& job, RestoreFrom from, int weekday,
                 const BackupFolders& folders);

private:
    Outcome restoreJob(const BackupJob& job, const RestoreRequest& request,
                       const BackupFolders& folders);
    Outcome refuse(const QString& line);
    QString notePath() const;
    bool noted(const BackupJob& job, const QString& name) const;
    void note(const BackupJob& job, const QString& name, bool made);

    LogSink& m_log;
    ErrorCount& m_errors;
    const ProgramParts& m_parts;
    QString m_programFolder;
};
