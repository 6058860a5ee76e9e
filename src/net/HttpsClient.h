#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

#include <functional>

class QIODevice;
struct ServerKeyCheck;

constexpr qint64 kMaxMemoryBody = 1024 * 1024;
constexpr int kMaxRedirects = 5;
// The most bytes of a refused answer's body kept for the caller (an error document).
constexpr qint64 kMaxRefusalBody = 64 * 1024;

// One HTTPS request with libcurl, blocking, free of the log book and the window so it can run on
// a worker thread. Only https:// is spoken: redirects are followed as a browser follows them, at
// most maxRedirects of them and only to https:// addresses. The server's certificate and name
// are always verified against the system's authorities plus an optional PEM file, TLS 1.2 or
// newer, every phase has a time limit, and the proxy environment is ignored.
struct HttpsCall {
    QByteArray method = "GET"; // GET, HEAD, PUT, POST or DELETE
    QString url;
    QList<QByteArray> headers; // "Name: value", sent as given
    QString caFile;            // PEM authorities trusted besides the system's; empty: none
    // Set: the server is accepted by an authority of the system or by its key, kept at first use
    // (see ServerKeyCheck), instead of by the authorities alone; caFile is then not used. A
    // refusal is the call's error. The check must outlive the call.
    ServerKeyCheck* keyCheck = nullptr;
    QByteArray userAgent;
    // PUT and POST: the body, bodySize bytes read from `body` at its position, or bodyBytes when
    // `body` is null.
    QIODevice* body = nullptr;
    qint64 bodySize = 0;
    QByteArray bodyBytes;
    // Where an accepted answer's body goes; null: into HttpsReply::body, at most kMaxMemoryBody
    // bytes.
    QIODevice* sink = nullptr;
    // The most bytes the body may have; a longer one ends the transfer as failed. -1: no limit
    // besides kMaxMemoryBody for a body kept in memory.
    qint64 maxBytes = -1;
    // The statuses that count as success; any other ends the call as failed.
    QList<long> accepted{200};
    // 0: a redirect is not followed but is an answer like any other status (always so for PUT
    // and POST).
    int maxRedirects = kMaxRedirects;
    // Called with the bytes moved so far (received; sent for PUT and POST) and the total (0 while
    // unknown); returning false cancels.
    std::function<bool(qint64 done, qint64 total)> progress;
    int connectTimeoutS = 15;
    // No byte for this long ends the transfer, however long it runs otherwise; 0: no limit.
    int stallTimeoutS = 30;
    // The whole request; 0: no limit (large files), the stall limit still holds.
    int totalTimeoutS = 60;
};

struct HttpsReply {
    bool ok = false; // the whole answer arrived with an accepted status
    long status = 0; // HTTP status of the last answer, 0 when none came
    QByteArray body; // when the call had no sink
    // The last answer's header lines, names as the server wrote them, values trimmed.
    QList<QPair<QByteArray, QByteArray>> headers;
    // The start of a refused answer's body (an error document), at most kMaxRefusalBody bytes.
    QByteArray refusalBody;
    QString error; // German, for the log; empty when ok

    // The value of the first header of that name (case-insensitive); empty when there is none.
    QByteArray header(const QByteArray& name) const;
};

// The German text that refuses an address which is not https://; empty when it is one.
QString refusedAddress(const QString& url);

HttpsReply httpsCall(const HttpsCall& call);
