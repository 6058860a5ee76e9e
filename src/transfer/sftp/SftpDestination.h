#pragma once

#include "transfer/Destination.h"

#include <QByteArray>

#include <atomic>

class TTGPuttySFTP;

// SFTP through the SFTP library's session: password or keyboard-interactive login, the host key
// checked against known_hosts and asked about when it is new or changed. A store writes the file
// under its own name, so a failed one can leave a part there (not all-or-nothing).
class SftpDestination final : public Destination {
public:
    // For the whole removal of a cut file: a server that stalls must not hold each attempt long.
    static constexpr qint32 RemovalTimeoutMs = 30000;

    explicit SftpDestination(DestinationConfig config);
    ~SftpDestination() override;

    DestinationProperties properties() const override;
    // Connects (the session's messages become lines), uploads, gives the remote file the local
    // file's modification time and reports the size the server then shows.
    StoreResult store(const QString& localPath, const QString& remoteName,
                      DestinationEvents& events) override;
    FetchResult fetch(const QString& remoteName, const QString& localPath,
                      DestinationEvents& events) override;
    FetchResult fetchInto(const QString& remoteName, QIODevice& sink,
                          DestinationEvents& events) override;
    StatResult stat(const QString& remoteName, DestinationEvents& events) override;
    // On a connection of its own that takes only a known key or the one this destination's
    // store accepted, without asking.
    RemoveResult remove(const QString& remoteName, DestinationEvents& events) override;
    // The library's listing of the prefix's folder: names, sizes and times of its files.
    ListResult list(DestinationEvents& events) override;

private:
    // A session for the config's server with the handlers wired to events; verbose sessions
    // report their messages as lines.
    void prepare(TTGPuttySFTP& session, DestinationEvents& events, bool verbose);
    bool verifyHostKey(DestinationEvents& events, const QByteArray& host, qint32 port,
                       const QByteArray& fingerprint, qint32 status, bool& store);
    void refuseKey(DestinationEvents& events, const QByteArray& host, qint32 port,
                   const QByteArray& fingerprint, qint32 status, const QString& why);
    bool progress(DestinationEvents& events, qint64 bytes);
    QString knownHostsFile() const;

    DestinationConfig m_config;
    QByteArray m_acceptedHostKey; // the fingerprint a connection of this destination accepted
    bool m_hostKeyUnanswered = false;
    qint64 m_total = 0;
    std::atomic<qint64> m_lastProgressKiB{-1};
    std::atomic<qint64> m_lastProgressMs{0};
};
