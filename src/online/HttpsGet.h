#pragma once

#include "net/HttpsClient.h"

#include <QByteArray>
#include <QString>

class QIODevice;
struct TransferState;

// One HTTPS GET of the online parts, blocking, free of the log book and the window so it can run
// on a worker thread: httpsCall (net/HttpsClient.h) with the progress and cancel of a window.
// Only https:// is spoken: redirects are followed as a browser follows them, at most
// kMaxRedirects of them and only to https:// addresses. The server's certificate and name are
// always verified against the system's authorities plus an optional PEM file, and every phase has
// a time limit.
struct HttpsRequest {
    QString url;
    QString caFile; // PEM authorities trusted besides the system's; empty: the system's only
    QByteArray userAgent;
    // Where the body goes; null: into HttpsResult::body, at most kMaxMemoryBody bytes.
    QIODevice* sink = nullptr;
    // The most bytes the body may have; a longer one ends the transfer as failed. -1: no limit
    // besides kMaxMemoryBody for a body kept in memory.
    qint64 maxBytes = -1;
    // Progress and cancel, shared with a window; may be null.
    TransferState* state = nullptr;
    int connectTimeoutS = 15;
    // No byte for this long ends the transfer, however long it runs otherwise.
    int stallTimeoutS = 30;
    // The whole request; 0: no limit (large files), the stall limit still holds.
    int totalTimeoutS = 60;
};

struct HttpsResult {
    bool ok = false; // the whole body arrived with HTTP status 200
    long status = 0; // HTTP status, 0 when none came
    QByteArray body; // when the request had no sink
    QString error;   // German, for the log; empty when ok
};

HttpsResult httpsGet(const HttpsRequest& request);
