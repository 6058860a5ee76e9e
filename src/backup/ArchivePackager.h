#pragma once

#include "archive/ParallelDeflate.h"
#include "settings/BackupJob.h"

#include <QIODevice>
#include <QString>

#include <functional>
#include <memory>

class Clock;
class ErrorCount;
class LogSink;
class QDate;

// Where a job's archive lies. The name is yielded whether or not the archive could be made; the
// path only when today's archive was made.
struct ArchiveLocation {
    QString archivePath; // program folder + archive name; empty when today's archive failed
    QString archiveName; // ZIP_Dateiname + day tag + ".ZIP"
    // Tonight's copy into the copy folder failed: what stands there under the archive's name is
    // last week's archive of the day, if anything.
    bool copyFailed = false;
};

// Packs a job's backup files into its weekday archive in the program folder and copies the
// archive into the copy folder. An archive is written under a temporary name and renamed into
// place only when complete, in both folders, so an incomplete one never stands where the copy
// or the upload would ship it. With a ZIP password the archive's entries are AES-256 encrypted.
class ArchivePackager {
public:
    // Stores a ZIP_Dateiname filled in from DBName in the settings; may throw, which ends the run.
    using SaveZipName = std::function<void(const QString& zipName)>;
    // Wraps the archive file while it is written; tests use it to fail a write.
    using OutputFilter = std::function<std::unique_ptr<QIODevice>(QIODevice& file)>;

    // `programFolder` ends in '/'.
    ArchivePackager(LogSink& log, ErrorCount& errors, const Clock& clock, QString programFolder);

    // `ZIP_Passwort` empty: the archive is not encrypted; otherwise every entry is, with AES-256.
    ArchiveLocation zipprozess(BackupJob& job, const QString& OrdnerZIPDateien,
                               const QString& ZIP_Passwort, const QString& fullBackupFile,
                               const QString& logBackupFile, const SaveZipName& saveZipName);

    void setOutputFilter(OutputFilter filter) { m_outputFilter = std::move(filter); }
    // How the entries are compressed; tests choose small blocks or damage one.
    void setDeflateOptions(DeflateOptions options) { m_deflateOptions = std::move(options); }

    // ISO weekday as one digit: 1 Monday … 7 Sunday.
    static QString dayTag(const QDate& date);
    // Whether two folder paths name the same folder (symbolic links resolved, a trailing
    // separator ignored).
    static bool sameFolder(const QString& a, const QString& b);

private:
    // Whether today's archive now stands complete at the archive path.
    bool pack(const BackupJob& job, const ArchiveLocation& archive, const QString& password,
              const QString& fullBackupFile, const QString& logBackupFile);
    // Whether the copy now stands complete at `copyTarget`; a failure is logged and counted.
    bool copyArchive(const BackupJob& job, const QString& archivePath, const QString& copyTarget);

    LogSink& m_log;
    ErrorCount& m_errors;
    const Clock& m_clock;
    QString m_programFolder;
    OutputFilter m_outputFilter;
    DeflateOptions m_deflateOptions;
};
