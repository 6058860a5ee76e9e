#pragma once

#include "transfer/Destination.h"
#include "transfer/s3/S3Location.h"

#include <QDateTime>
#include <QList>

#include <functional>

class S3Client;

// An S3-compatible bucket (protocol 3) over HTTPS: the objects are bucket/prefix/name (see
// S3Location), every request signed with Signature Version 4. A store is all-or-nothing: a
// single PUT up to MultipartAboveBytes, above it a multipart upload whose parts go on several
// connections at once and which is aborted on any failure, so last week's object stays until
// tonight's is whole. Every body carries its Content-MD5; the archive's SHA-256 and modification
// time go into the object's metadata (x-amz-meta-sha256, x-amz-meta-mtime).
class S3Destination final : public Destination {
public:
    static constexpr qint64 MiB = 1024 * 1024;
    static constexpr int MaxParts = 10000;

    struct Tuning {
        qint64 multipartAboveBytes = 64 * MiB;
        qint64 minPartBytes = 16 * MiB;
        // Eight: four leave the processors partly idle while the server answers
        // (scripts/bench/s3.sh: about 1.2 times awscli's speed with four, 1.4 with eight).
        int connections = 8;
        int retryPauseMs = 500;
        // Called with the parts' ETags before the upload is completed (tests change them).
        std::function<void(QList<QByteArray>& etags)> beforeComplete;
    };

    explicit S3Destination(const DestinationConfig& config);
    // now: the clock requests are signed with.
    S3Destination(const DestinationConfig& config, Tuning tuning, std::function<QDateTime()> now);
    ~S3Destination() override;

    DestinationProperties properties() const override;
    // The bucket's location asked first (a server that is not S3, an unknown bucket or wrong keys
    // end the store before anything is sent); then the whole file under the name, then HEAD:
    // stored only when the object has the file's size.
    StoreResult store(const QString& localPath, const QString& remoteName,
                      DestinationEvents& events) override;
    // GET into a temporary file beside localPath, renamed over it once whole; whole means the
    // announced size and, when the object carries one, the SHA-256 of its metadata.
    FetchResult fetch(const QString& remoteName, const QString& localPath,
                      DestinationEvents& events) override;
    FetchResult fetchInto(const QString& remoteName, QIODevice& sink,
                          DestinationEvents& events) override;
    // HEAD: size and Last-Modified; 404 means there is no such object.
    StatResult stat(const QString& remoteName, DestinationEvents& events) override;
    // DELETE; an object that is not there is removed already.
    RemoveResult remove(const QString& remoteName, DestinationEvents& events) override;
    // ListObjectsV2 under the key prefix, page by page; keys below a further '/' are left out.
    ListResult list(DestinationEvents& events) override;
    // CopyObject on the server (the metadata goes along, Object Lock as for a store), then HEAD;
    // an object above CopyMaxBytes is unsupported (S3 copies those only in parts).
    CopyResult copy(const QString& fromName, const QString& toName,
                    DestinationEvents& events) override;

    static constexpr qint64 CopyMaxBytes = 5LL * 1024 * MiB;

    // The size of each part for a file of `size` bytes: at least minPartBytes, whole MiB, and
    // never more than MaxParts parts.
    static qint64 partSize(qint64 size, qint64 minPartBytes);

private:
    // The upload of the file's parts; empty when the object is whole, else why not (the upload
    // is then aborted).
    // The metadata go with the upload's start, the file's SHA-256 added to them.
    QString multipartStore(const QString& localPath, qint64 size, const QString& key,
                           const QString& object, QList<QPair<QByteArray, QByteArray>> metadata,
                           DestinationEvents& events);
    // A multipart upload of this object that an earlier store left under way (the program was
    // ended in the middle of it) is aborted, so that its parts are not kept and paid for.
    void abortLeftUploads(const QString& key, const QString& object, DestinationEvents& events);
    // Ends one multipart upload of `key` on the server, its parts with it; empty or the failure.
    QString abortUpload(const QString& key, const QString& uploadId, const QString& what);
    FetchResult get(const QString& remoteName, QIODevice& sink, DestinationEvents& events);
    void flushNotes(DestinationEvents& events);

    DestinationConfig m_config;
    S3Location m_location;
    Tuning m_tuning;
    std::function<QDateTime()> m_now;
    std::unique_ptr<S3Client> m_client;
};
