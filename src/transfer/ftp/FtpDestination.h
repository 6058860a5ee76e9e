#pragma once

#include "transfer/Destination.h"

// FTP (protocol 0) and FTP with explicit TLS on the control and the data connections (protocol
// 1), over libcurl. Every operation opens a connection of its own. Paths are pathPrefix + the
// remote name, relative to the login folder unless they start with '/'; no folder is changed or
// made. FTPS servers are accepted by an authority of the system or by their key, kept at first
// use in ftps_known_hosts of the config's keysFolder (ServerKeyCheck). A store is not
// all-or-nothing: STOR writes under the name itself.
class FtpDestination final : public Destination {
public:
    static constexpr int ConnectTimeoutS = 120;   // to open the control connection
    static constexpr int ReplyTimeoutS = 60;      // for each reply on the control connection
    static constexpr int AcceptTimeoutMs = 10000; // for the server's data connection in active mode
    static constexpr long UploadBufferBytes = 512 * 1024;
    // For the whole of a removal or a stat: a server that stalls must not hold an attempt long.
    static constexpr int CommandTimeoutS = 30;
    // For the whole of a listing, and the most of it that is read.
    static constexpr int ListTimeoutS = 120;
    static constexpr qint64 ListMaxBytes = 64 * 1024 * 1024;

    explicit FtpDestination(const DestinationConfig& config);

    DestinationProperties properties() const override;
    // One STOR of the whole file, then SIZE: stored only when what was read, sent and stored
    // are all the file's size. Always binary.
    StoreResult store(const QString& localPath, const QString& remoteName,
                      DestinationEvents& events) override;
    // One RETR between a SIZE before and after it, into a temporary file beside localPath
    // (created new, never through a link), synced and renamed over localPath once whole.
    FetchResult fetch(const QString& remoteName, const QString& localPath,
                      DestinationEvents& events) override;
    FetchResult fetchInto(const QString& remoteName, QIODevice& sink,
                          DestinationEvents& events) override;
    // SIZE and MDTM; a SIZE refused with 550 means there is no such file.
    StatResult stat(const QString& remoteName, DestinationEvents& events) override;
    // DELE, then SIZE tells whether the file is gone.
    RemoveResult remove(const QString& remoteName, DestinationEvents& events) override;
    // MLSD of the prefix's folder (names, sizes, times); a server without MLSD is asked NLST
    // (names only).
    ListResult list(DestinationEvents& events) override;

    // The entries of an MLSD answer that are files, and of an NLST answer (names only, a
    // folder in front of a name cut off), keeping those that begin with `lead`, less `lead`.
    static QList<RemoteEntry> parseMlsd(const QByteArray& listing, const QString& lead);
    static QList<RemoteEntry> parseNlst(const QByteArray& listing, const QString& lead);

private:
    // The RETR of the remote path into a file descriptor (fd >= 0) or the sink.
    FetchResult retrieve(const QString& remotePath, int fd, QIODevice* sink,
                         DestinationEvents& events);
    // One listing command ("MLSD" or "NLST") of the folder; its answer in `listing`.
    QString listWith(const QByteArray& verb, const QString& folder, QByteArray& listing,
                     QByteArray& reply, DestinationEvents& events);

    DestinationConfig m_config;
};
