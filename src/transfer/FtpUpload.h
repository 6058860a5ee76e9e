#pragma once

#include "settings/BackupJob.h"

#include <QString>

#include <memory>

struct CurlStoreRequest;
class ErrorCount;
class LogSink;
class SftpWindow;

// One upload attempt of a job's archive to the job's server: FTP, FTP with explicit TLS on the
// control and the data connection, or SFTP through the SFTP upload window. Every attempt checks
// its inputs again and opens a connection of its own; the backup run repeats failed attempts.
class FtpUpload {
public:
    static constexpr int ConnectTimeoutS = 120;   // to open the control connection
    static constexpr int ReplyTimeoutS = 60;      // for each reply on the control connection
    static constexpr int AcceptTimeoutMs = 10000; // for the server's data connection in active mode
    static constexpr long UploadBufferBytes = 512 * 1024;
    // for the whole removal of a cut file: a server that stalls must not hold each attempt long
    static constexpr int RemovalTimeoutS = 30;

    // sftpWindow shows SFTP uploads; null runs them without a window (host key questions are
    // then refused at once).
    FtpUpload(LogSink& log, ErrorCount& errors, SftpWindow* sftpWindow = nullptr);
    ~FtpUpload();

    // True when the archive is stored on the server with its full size. A missing archive path,
    // a missing archive or an empty server is logged and counted; a failure of the connection,
    // the login or the transfer is logged (the client's message, then a FEHLER line) and not
    // counted. Never throws.
    bool ftphochladen(const BackupJob& job, const QString& ftpdateiname,
                      const QString& ftpdatenbankname);

private:
    bool attempt(const BackupJob& job, const QString& ftpdateiname, const QString& name);
    bool transfer(const BackupJob& job, const QString& localPath, const QString& name);
    void removeCutFile(const CurlStoreRequest& request, const QString& name);
    bool sftp(const BackupJob& job, const QString& localPath, const QString& name);
    // Counts the calls of one job's run of attempts.
    void countAttempt(const BackupJob& job, const QString& name);

    LogSink& m_log;
    ErrorCount& m_errors;
    std::unique_ptr<SftpWindow> m_headless;
    SftpWindow* m_sftpWindow;
    // The attempts of one job follow each other: a run makes up to UploadAttempts of them and
    // stops at the first success. Within such a run a host key question that went unanswered
    // is not asked again.
    QString m_attemptKey;
    int m_attemptsInRun = 0;
    bool m_hostKeyUnansweredInRun = false;
};
