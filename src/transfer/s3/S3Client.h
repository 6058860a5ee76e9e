#pragma once

#include "transfer/s3/S3Location.h"
#include "transfer/s3/S3Signer.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <functional>
#include <mutex>

class QIODevice;

// One S3 request: what to ask, and where its body comes from and its answer goes.
struct S3Call {
    QByteArray method = "GET";
    QString key;      // the object's key; empty: the bucket itself
    S3Pairs query;    // raw names and values
    S3Pairs headers;  // lower-case names, signed
    QString bodyFile; // PUT, POST: bodySize bytes of this file from bodyOffset ...
    qint64 bodyOffset = 0;
    qint64 bodySize = 0;
    QByteArray bodyBytes;      // ... or these bytes
    QByteArray payloadHash;    // hex SHA-256 of the body; empty: computed from bodyBytes
    QIODevice* sink = nullptr; // GET: where the body goes (a failed GET is then not repeated)
    QList<long> accepted{200};
    std::function<bool(qint64 done, qint64 total)> progress;
    // What the request does, for the lines ("das Speichern von bucket/key").
    QString what;
};

struct S3Answer {
    bool ok = false;
    long status = 0;
    QByteArray body;
    QList<QPair<QByteArray, QByteArray>> headers;
    QString code;  // the S3 error code (SignatureDoesNotMatch, NoSuchBucket, ...)
    QString error; // one German line; empty when ok
    // The server's key was refused as one nobody confirmed (an unattended run's first contact).
    bool keyUnconfirmed = false;

    QByteArray header(const QByteArray& name) const;
};

// Sends signed S3 requests over the program's HTTPS client, each on a connection of its own:
// the server accepted by an authority of the system or by its key kept at first use in
// ftps_known_hosts (as for FTPS). Transient answers (500, 502, 503 SlowDown, 504, a cut
// connection) are repeated with a growing pause, Retries times. Safe to use from several threads.
class S3Client {
public:
    static constexpr int Retries = 3;
    static constexpr int ConnectTimeoutS = 30;
    static constexpr int StallTimeoutS = 60;

    S3Client(const S3Location& location, const DestinationConfig& config,
             std::function<QDateTime()> now);

    S3Answer send(const S3Call& call);

    // The lines the key check wrote (a key kept at first use) since the last call; handed to
    // the events by the thread that runs the operation.
    QStringList takeNotes();

    // The time of an HTTP Date or Last-Modified header; invalid when it is none.
    static QDateTime httpDate(const QByteArray& text);

    // The first pause before a repetition; doubled each time. Tests make it short.
    int retryPauseMs = 500;

private:
    S3Answer sendOnce(const S3Call& call, bool& transient);

    const S3Location& m_location;
    QString m_keysFolder;
    bool m_attended;
    QString m_jobName;
    S3Signer m_signer;
    std::function<QDateTime()> m_now;
    std::mutex m_mutex;
    QStringList m_notes;
};
