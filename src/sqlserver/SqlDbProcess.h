#pragma once

#include "sqlserver/SqlRecord.h"

#include <QString>
#include <QStringList>

struct SqlConnectionString;
struct tds_dblib_dbprocess;

// One connection to SQL Server over FreeTDS db-lib. Connecting and running a batch block
// only a worker thread (workerCall); the caller's thread keeps handling its events.
//
// Failures throw ProgramError carrying the server's own message texts (severity above 10,
// in the order the server sent them, joined by a blank) or the client library's text.
// Informational messages (severity 10 and below) never make a failure.
class SqlDbProcess {
public:
    // db-lib reports each quiet period of at most this many seconds, so the call's own time is
    // kept to within it.
    static constexpr int PollSeconds = 5;
    // After a time-out, the cancel is waited for this long at most (and never longer than the
    // statement's own time-out) before the connection is given up.
    static constexpr int DefaultCancelWaitLimit = 30;
    static void setCancelWaitLimit(int seconds);

    // The INI file whose SqlEncrypt= and SqlCAFile= (SqlEncryption) every connection reads
    // before it is made; empty (the default): SqlEncrypt=require.
    static void setEncryptionIni(const QString& iniPath);
    // The data sources of the connections to another machine made since the last call that
    // are encrypted with a certificate nobody checked (SqlEncrypt=require), each once.
    static QStringList takeUnverifiedServers();

    SqlDbProcess() = default;
    ~SqlDbProcess();
    SqlDbProcess(const SqlDbProcess&) = delete;
    SqlDbProcess& operator=(const SqlDbProcess&) = delete;

    // Logs in with the connection string's login, password and initial catalog; the
    // login time-out is the connection string's Connect Timeout. Encrypted as the INI's
    // SqlEncrypt= asks; a connection refused for its TLS names FreeTDS's reason, and its login
    // was never sent.
    void open(const SqlConnectionString& connection);
    // Releases the connection; harmless when none is open.
    void close();
    // Open and not found broken by an earlier failure.
    bool isOpen() const;

    // Sends one batch and reads all it returns. With keepRows, the rows of the first result
    // set that has columns come back; everything else is read and dropped. A server that
    // does not finish within timeoutSeconds (0: no limit) is told to cancel, and the call
    // fails with a time-out text; a server that does not acknowledge the cancel either loses
    // the connection. The time is checked whenever the server has been quiet for a while: a
    // server that never stops sending is not cut off.
    SqlRecords execute(const QString& sql, int timeoutSeconds, bool keepRows);

private:
    tds_dblib_dbprocess* m_proc = nullptr;
};
