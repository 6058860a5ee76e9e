#include "transfer/s3/S3Client.h"

#include "net/HttpsClient.h"
#include "net/ServerKeyCheck.h"

#include <QFile>
#include <QTimeZone>
#include <QXmlStreamReader>

#include <chrono>
#include <thread>

namespace {

// The Code and Message of an S3 error document; false when the body is not one.
bool readError(const QByteArray& body, QString& code, QString& message) {
    QXmlStreamReader xml(body);
    bool inError = false;
    while (!xml.atEnd()) {
        xml.readNext();
        if (!xml.isStartElement())
            continue;
        if (xml.name() == QLatin1String("Error"))
            inError = true;
        else if (inError && xml.name() == QLatin1String("Code"))
            code = xml.readElementText().trimmed();
        else if (inError && xml.name() == QLatin1String("Message"))
            message = xml.readElementText().trimmed();
    }
    return inError && !code.isEmpty();
}

bool transientStatus(long status) {
    return status == 500 || status == 502 || status == 503 || status == 504;
}

} // namespace

QDateTime S3Client::httpDate(const QByteArray& text) {
    // "Fri, 11 Dec 2026 10:18:37 GMT" (RFC 9110's IMF-fixdate)
    const qsizetype comma = text.indexOf(',');
    QDateTime time =
        QDateTime::fromString(QString::fromLatin1(text.mid(comma + 1).trimmed().left(20)),
                              QStringLiteral("dd MMM yyyy HH:mm:ss"));
    if (time.isValid())
        time.setTimeZone(QTimeZone::utc());
    return time;
}

QByteArray S3Answer::header(const QByteArray& name) const {
    for (const auto& h : headers)
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return h.second;
    return {};
}

S3Client::S3Client(const S3Location& location, const DestinationConfig& config,
                   std::function<QDateTime()> now)
    : m_location(location), m_keysFolder(config.keysFolder), m_attended(config.attended),
      m_jobName(config.jobName),
      m_signer(config.user.toUtf8(), config.password.toUtf8(), location.region()),
      m_now(std::move(now)) {}

QStringList S3Client::takeNotes() {
    std::lock_guard lock(m_mutex);
    QStringList notes;
    notes.swap(m_notes);
    return notes;
}

S3Answer S3Client::send(const S3Call& call) {
    int pauseMs = retryPauseMs;
    for (int attempt = 0;; ++attempt) {
        bool transient = false;
        S3Answer answer = sendOnce(call, transient);
        if (answer.ok || !transient || attempt == Retries || call.sink)
            return answer;
        std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
        pauseMs *= 2;
    }
}

S3Answer S3Client::sendOnce(const S3Call& call, bool& transient) {
    S3Answer answer;
    QFile file;
    HttpsCall https;
    if (!call.bodyFile.isEmpty()) {
        file.setFileName(call.bodyFile);
        if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered) ||
            !file.seek(call.bodyOffset)) {
            answer.error = QStringLiteral("Die Datei %1 kann nicht gelesen werden: %2")
                               .arg(call.bodyFile, file.errorString());
            return answer;
        }
        https.body = &file;
        https.bodySize = call.bodySize;
    } else {
        https.bodyBytes = call.bodyBytes;
    }

    S3SignedRequest request;
    request.method = call.method;
    request.host = m_location.hostHeader();
    request.path = m_location.path(call.key);
    request.query = call.query;
    request.headers = call.headers;
    request.payloadHash =
        !call.payloadHash.isEmpty() ? call.payloadHash : S3Signer::sha256Hex(call.bodyBytes);
    const QDateTime signedAt = m_now();

    ServerKeyCheck keys;
    keys.host = m_location.host();
    keys.port = m_location.port();
    keys.keysFolder = m_keysFolder;
    keys.kind = QStringLiteral("S3");
    keys.attended = m_attended;
    keys.jobName = m_jobName;
    keys.note = [this](const QString& line) {
        std::lock_guard lock(m_mutex);
        m_notes.append(line);
    };

    https.method = call.method;
    https.url =
        QString::fromLatin1(m_location.url(request.path, S3Signer::canonicalQuery(call.query)));
    https.headers = m_signer.sign(request, signedAt);
    // No "Expect: 100-continue" pause before a body.
    https.headers.append("Expect:");
    https.keyCheck = &keys;
    https.userAgent = "OrvelSQLBackup";
    https.sink = call.sink;
    https.accepted = call.accepted;
    https.maxRedirects = 0;
    // A request its caller cancelled is not repeated.
    bool cancelled = false;
    if (call.progress)
        https.progress = [&call, &cancelled](qint64 done, qint64 total) {
            cancelled = !call.progress(done, total);
            return !cancelled;
        };
    https.connectTimeoutS = ConnectTimeoutS;
    https.stallTimeoutS = StallTimeoutS;
    https.totalTimeoutS = 0;
    const HttpsReply reply = httpsCall(https);

    answer.status = reply.status;
    answer.headers = reply.headers;
    answer.body = reply.body;
    if (reply.ok) {
        answer.ok = true;
        return answer;
    }
    const QString server = m_location.serverName();
    if (reply.status == 0) {
        // No answer: refused key, no connection, cut connection. A refused key is no accident.
        transient = keys.refusal.isEmpty() && !cancelled;
        answer.keyUnconfirmed = keys.unconfirmedKey;
        answer.error = QStringLiteral("S3-Server %1, %2: %3").arg(server, call.what, reply.error);
        return answer;
    }
    transient = transientStatus(reply.status);
    QString message;
    if (readError(reply.refusalBody, answer.code, message)) {
        QString hint;
        if (answer.code == QLatin1String("SignatureDoesNotMatch"))
            hint = QStringLiteral("der geheime Schlüssel passt nicht zur Zugangskennung");
        else if (answer.code == QLatin1String("InvalidAccessKeyId"))
            hint = QStringLiteral("die Zugangskennung ist dem Server unbekannt");
        else if (answer.code == QLatin1String("NoSuchBucket"))
            hint = QStringLiteral("den Bucket %1 gibt es nicht").arg(m_location.bucket());
        else if (answer.code == QLatin1String("RequestTimeTooSkewed")) {
            const QDateTime serverTime = httpDate(reply.header("Date"));
            hint = serverTime.isValid()
                       ? QStringLiteral("die Uhr dieses Rechners weicht um %1 Sekunden von der "
                                        "des Servers ab")
                             .arg(serverTime.secsTo(signedAt))
                       : QStringLiteral("die Uhr dieses Rechners weicht zu weit von der des "
                                        "Servers ab");
        } else if (!message.isEmpty())
            hint = message;
        answer.error = QStringLiteral("Der S3-Server %1 lehnt %2 ab: %3%4 (HTTP-Status %5)")
                           .arg(server, call.what, answer.code,
                                hint.isEmpty() ? QString() : QStringLiteral(", ") + hint)
                           .arg(reply.status);
        return answer;
    }
    if (call.method == "HEAD" && reply.status != 0 && !reply.header("x-amz-request-id").isEmpty()) {
        // A HEAD has no body to say why.
        answer.error = QStringLiteral("Der S3-Server %1 lehnt %2 ab (HTTP-Status %3)")
                           .arg(server, call.what)
                           .arg(reply.status);
        return answer;
    }
    answer.error = QStringLiteral("Der Server %1 antwortet auf %2 nicht wie ein S3-Server "
                                  "(HTTP-Status %3)")
                       .arg(server, call.what)
                       .arg(reply.status);
    return answer;
}
