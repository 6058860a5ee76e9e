#pragma once

#include "backup/ArchivePackager.h"
#include "backup/BackupFolders.h"
#include "restore/RestoreFiles.h"
#include "settings/BackupJob.h"
#include "settings/GeneralSettings.h"
#include "transfer/UploadAttempt.h"

#include <QDate>
#include <QList>
#include <QString>

class Dataset;

// The parts of the program as the program core reaches them. Each is small so that a new part
// implements one and a test hands in a fake; ProgramParts lists them.

// The settings file and the rows the program reads and edits.
class SettingsStore {
public:
    virtual ~SettingsStore() = default;
    virtual bool fileExists() const = 0;
    // Creates an empty settings file; false on any failure, never throws.
    virtual bool create() = 0;
    // Connects, brings the schema up to date and opens the settings; logs its own outcome.
    // Throws when the settings cannot be prepared.
    virtual void checkdatabase() = 0;
    // Whether the settings file is connected (false after a checkdatabase that found no
    // connection: wrong key, a file that is no settings file, a lock).
    virtual bool connected() const = 0;
    // The jobs of a backup run; throws when they cannot be read.
    virtual QList<BackupJob> jobsForRun() = 0;
    // Stores a filled-in archive name in the job's row; throws when it cannot.
    virtual void storeZipName(const BackupJob& job, const QString& zipName) = 0;
    // The job shown in the editor, with what is being typed stored first where the store works.
    virtual BackupJob currentJob() = 0;
    // The general settings as stored; throws while the settings are not open.
    virtual GeneralSettings generalSettings() = 0;
    // Stores pending edits when the program closes; throws when a row is refused.
    virtual void postPendingChanges() = 0;
    // The rows the window's editor binds to: the jobs, and the general settings.
    virtual Dataset& jobRows() = 0;
    virtual Dataset& generalRows() = 0;
};

// The SQL Server steps of one job and the connection test.
class SqlSteps {
public:
    virtual ~SqlSteps() = default;
    // The steps of one job, writing its backup files into `folders`.
    virtual void arbeitsprozess(const BackupJob& job, const BackupFolders& folders) = 0;
    // "OK", "Erfolglos" or "keine Datenbank eingestellt"; no log line.
    virtual QString connectionTest(const BackupJob& job) = 0;
    // A job or a connection test waits for its server.
    virtual bool isBusy() const = 0;
};

// Packing a job's backup files into its weekday archive and copying it.
class Packaging {
public:
    virtual ~Packaging() = default;
    // Packs the job's backup files as they lie in `folders`.
    virtual ArchiveLocation zipprozess(BackupJob& job, const QString& copyFolder,
                                       const QString& zipPassword, const BackupFolders& folders,
                                       const ArchivePackager::SaveZipName& saveZipName) = 0;
};

// One upload attempt of an archive to the job's server.
class Uploader {
public:
    virtual ~Uploader() = default;
    // True when the archive arrived; logs and counts its own failures, never throws. The run
    // hands in which attempt this is and what its earlier attempts left.
    virtual bool ftphochladen(const BackupJob& job, const QString& ftpdateiname,
                              const QString& ftpdatenbankname, UploadAttempt& attempt) = 0;
    // Once the archive arrived: the weekly and monthly archives beside it stored and those
    // beyond the counts removed, for the night of `day`; logs and counts its own failures,
    // never throws.
    virtual void keepArchives(const BackupJob& job, const ArchiveLocation& archive,
                              const QDate& day) {
        (void)job;
        (void)archive;
        (void)day;
    }
};

// The report mail with the log book to the recipients of the general settings.
class ReportMailer {
public:
    virtual ~ReportMailer() = default;
    // Makes the account's credentials ready; once, when the window is shown.
    virtual void prepareCredentials() = 0;
    // Logs every outcome itself, never throws.
    virtual void sendReport(qint32 errorCount) = 0;
};

// The operating system's own report of a connection (gates the support-file check).
class ConnectionReport {
public:
    virtual ~ConnectionReport() = default;
    virtual bool systemReportsConnection() = 0;
};

// Whether the internet can be reached: this machine's public address.
class ConnectivityProbe {
public:
    virtual ~ConnectivityProbe() = default;
    // The public address; empty when no connection was found.
    virtual QString publicAddress() = 0;
};

// The program update.
class UpdateCheck {
public:
    virtual ~UpdateCheck() = default;
    // At the end of the automatic run: logs its outcome, may start the installation.
    virtual void checkAutomatically() = 0;
    // On the user's request, with the update window.
    virtual void checkByHand() = 0;
};

// Support libraries fetched when they are missing.
class SupportFiles {
public:
    virtual ~SupportFiles() = default;
    virtual void fetchMissing() = 0;
};

// The steps of a restore of one job's archive: finding and fetching it, checking and unpacking
// its backup files, and the SQL Server statements. Each throws with the server's, the reader's
// or the destination's own message; the restore run decides what runs and what it says.
class RestoreSteps {
public:
    virtual ~RestoreSteps() = default;
    // The job's weekday archive (0: the newest), from where `from` says.
    virtual RestoreArchive findArchive(const BackupJob& job, const QString& copyFolder,
                                       int weekday, RestoreFrom from) = 0;
    // Checks the archive and unpacks the job's backup files into the backup folder (or, with a
    // target folder, into that one under their own names).
    virtual UnpackedBackup unpack(const RestoreArchive& archive, const BackupJob& job,
                                  const QString& zipPassword, const BackupFolders& folders,
                                  const QString& targetFolder) = 0;
    // Removes what a restore left on this machine: the unpacked files, a fetched archive.
    virtual void discard(const RestoreArchive& archive, const UnpackedBackup& files) = 0;
    virtual bool databaseExists(const BackupJob& job, const QString& name) = 0;
    // The full backup, then every log backup set in order; the last one with recovery.
    virtual void restore(const BackupJob& job, const UnpackedBackup& files,
                         const QString& target, bool replace) = 0;
    virtual void checkDatabase(const BackupJob& job, const QString& target) = 0;
    virtual void dropDatabase(const BackupJob& job, const QString& target) = 0;
};
