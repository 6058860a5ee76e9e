#pragma once

#include "settings/BackupJob.h"

#include <QString>

class ErrorCount;
class LogSink;

// One upload attempt of a job's archive to the job's server: FTP, or FTP with explicit TLS on the
// control and the data connection. Every attempt checks its inputs again and opens a connection
// of its own; the backup run repeats failed attempts.
class FtpUpload {
public:
    static constexpr int ConnectTimeoutS = 120;   // to open the control connection
    static constexpr int ReplyTimeoutS = 60;      // for each reply on the control connection
    static constexpr int AcceptTimeoutMs = 10000; // for the server's data connection in active mode
    static constexpr long UploadBufferBytes = 512 * 1024;

    FtpUpload(LogSink& log, ErrorCount& errors);

    // True when the archive is stored on the server with its full size. A missing archive path,
    // a missing archive or an empty server is logged and counted; a failure of the connection,
    // the login or the transfer is logged (the client's message, then a FEHLER line) and not
    // counted. Never throws.
    bool ftphochladen(const BackupJob& job, const QString& ftpdateiname,
                      const QString& ftpdatenbankname);

private:
    bool transfer(const BackupJob& job, const QString& localPath, const QString& name);

    LogSink& m_log;
    ErrorCount& m_errors;
};
