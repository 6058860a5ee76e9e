#include "net/HttpsClient.h"

#include "net/CurlEasy.h"
#include "net/CurlList.h"
#include "net/ServerKeyCheck.h"

#include <QFileInfo>
#include <QIODevice>
#include <QUrl>

#include <algorithm>
#include <cstring>
#include <limits>

namespace {

struct Transfer {
    const HttpsCall* call = nullptr;
    CURL* curl = nullptr;
    qint64 limit = 0; // the most bytes the body may have
    qint64 written = 0;
    QByteArray body;
    QByteArray refusalBody;
    QList<QPair<QByteArray, QByteArray>> headers;
    qint64 sent = 0; // of the request body
    bool sinkFailed = false;
    bool sourceFailed = false;
    bool tooLarge = false;
};

bool isRedirect(long status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

bool sendsBody(const HttpsCall& call) {
    return call.method == "PUT" || call.method == "POST";
}

// A body is sent once: the redirect of a PUT or a POST is an answer like any other.
bool followsRedirect(const HttpsCall& call, long status) {
    return call.maxRedirects > 0 && !sendsBody(call) && isRedirect(status);
}

size_t writeBody(char* data, size_t size, size_t count, void* userdata) {
    auto* t = static_cast<Transfer*>(userdata);
    const size_t n = size * count;
    long status = 0;
    curl_easy_getinfo(t->curl, CURLINFO_RESPONSE_CODE, &status);
    if (!t->call->accepted.contains(status)) {
        // A redirect's or an error page's body is not the file.
        if (!followsRedirect(*t->call, status))
            t->refusalBody.append(data, qsizetype(std::min<qint64>(
                                            qint64(n), kMaxRefusalBody - t->refusalBody.size())));
        return n;
    }
    if (t->written + qint64(n) > t->limit) {
        t->tooLarge = true;
        return 0;
    }
    t->written += qint64(n);
    if (t->call->sink) {
        if (t->call->sink->write(data, qint64(n)) != qint64(n)) {
            t->sinkFailed = true;
            return 0;
        }
    } else {
        t->body.append(data, qsizetype(n));
    }
    return n;
}

size_t readBody(char* buffer, size_t size, size_t count, void* userdata) {
    auto* t = static_cast<Transfer*>(userdata);
    const qint64 total = t->call->body ? t->call->bodySize : t->call->bodyBytes.size();
    const qint64 wanted = std::min<qint64>(qint64(size * count), total - t->sent);
    if (wanted <= 0)
        return 0;
    qint64 n = 0;
    if (t->call->body) {
        n = t->call->body->read(buffer, wanted);
        if (n <= 0) { // the source ends before the size it was sent with
            t->sourceFailed = true;
            return CURL_READFUNC_ABORT;
        }
    } else {
        n = std::min<qint64>(wanted, t->call->bodyBytes.size() - t->sent);
        std::memcpy(buffer, t->call->bodyBytes.constData() + t->sent, size_t(n));
    }
    t->sent += n;
    return size_t(n);
}

size_t headerLine(char* data, size_t size, size_t count, void* userdata) {
    auto* t = static_cast<Transfer*>(userdata);
    const QByteArray line = QByteArray(data, qsizetype(size * count)).trimmed();
    if (line.startsWith("HTTP/")) {
        t->headers.clear(); // a new answer (after a redirect or a 100 Continue)
    } else {
        const qsizetype colon = line.indexOf(':');
        if (colon > 0)
            t->headers.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
    }
    return size * count;
}

int progress(void* userdata, curl_off_t downTotal, curl_off_t downNow, curl_off_t upTotal,
             curl_off_t upNow) {
    auto* t = static_cast<Transfer*>(userdata);
    const bool up = sendsBody(*t->call);
    return t->call->progress(qint64(up ? upNow : downNow), qint64(up ? upTotal : downTotal)) ? 0
                                                                                             : 1;
}

} // namespace

QByteArray HttpsReply::header(const QByteArray& name) const {
    for (const auto& h : headers)
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return h.second;
    return {};
}

QString refusedAddress(const QString& url) {
    const QUrl parsed(url, QUrl::StrictMode);
    if (!parsed.isValid() || parsed.host().isEmpty())
        return QStringLiteral("Ungültige Serveradresse: ") + url;
    if (parsed.scheme() != QLatin1String("https"))
        return QStringLiteral("Nur HTTPS ist erlaubt, die Adresse wird abgelehnt: ") + url;
    return {};
}

HttpsReply httpsCall(const HttpsCall& call) {
    HttpsReply result;
    result.error = refusedAddress(call.url);
    if (!result.error.isEmpty())
        return result;

    if (!call.keyCheck && !call.caFile.isEmpty() && !QFileInfo(call.caFile).isReadable()) {
        result.error =
            QStringLiteral("Die Datei der Zertifizierungsstellen (WebCAFile) kann nicht gelesen "
                           "werden: ") +
            call.caFile;
        return result;
    }

    CurlEasy curl;
    if (!curl.valid()) {
        result.error = QStringLiteral("Der HTTPS-Client kann nicht angelegt werden");
        return result;
    }
    CURL* c = curl.get();
    Transfer transfer;
    transfer.call = &call;
    transfer.curl = c;
    transfer.limit =
        call.sink ? (call.maxBytes >= 0 ? call.maxBytes : std::numeric_limits<qint64>::max())
                  : (call.maxBytes >= 0 ? std::min(call.maxBytes, kMaxMemoryBody) : kMaxMemoryBody);

    CurlList headers;
    for (const QByteArray& h : call.headers) {
        if (h.contains('\r') || h.contains('\n')) {
            result.error = QStringLiteral("Eine Kopfzeile enthält einen Zeilenumbruch");
            return result;
        }
        if (!headers.append(h)) {
            result.error = QStringLiteral("Kein Speicher für die Kopfzeilen");
            return result;
        }
    }

    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(c, CURLOPT_USERAGENT, call.userAgent.constData());
    if (call.keyCheck)
        curl.verifyByAuthorityOrKey(*call.keyCheck);
    else
        curl.verifyByAuthorities(call.caFile);
    curl.limitTo({call.connectTimeoutS, call.stallTimeoutS, call.totalTimeoutS, 0, 0});
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, writeBody);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, headerLine);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &transfer);
    if (headers.get())
        curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
    if (call.method == "HEAD") {
        curl_easy_setopt(c, CURLOPT_NOBODY, 1L);
    } else if (sendsBody(call)) {
        const qint64 size = call.body ? call.bodySize : call.bodyBytes.size();
        if (call.method == "PUT") {
            curl_easy_setopt(c, CURLOPT_UPLOAD, 1L);
            curl_easy_setopt(c, CURLOPT_INFILESIZE_LARGE, curl_off_t(size));
        } else {
            curl_easy_setopt(c, CURLOPT_POST, 1L);
            curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(size));
        }
        curl_easy_setopt(c, CURLOPT_READFUNCTION, readBody);
        curl_easy_setopt(c, CURLOPT_READDATA, &transfer);
    } else if (call.method != "GET") {
        curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, call.method.constData());
    }
    if (call.progress) {
        curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, progress);
        curl_easy_setopt(c, CURLOPT_XFERINFODATA, &transfer);
    }

    // Redirects are followed here rather than by libcurl, so that every address is checked
    // before it is asked and a refused one is named in the message.
    QByteArray current = call.url.toUtf8();
    for (int redirects = 0;; ++redirects) {
        curl_easy_setopt(c, CURLOPT_URL, current.constData());
        const QString currentUrl = QString::fromUtf8(current);
        transfer.written = 0;
        transfer.body.clear();
        transfer.refusalBody.clear();
        const CURLcode code = curl.perform();
        result.status = 0;
        curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &result.status);
        result.headers = transfer.headers;
        if (code != CURLE_OK) {
            if (call.keyCheck && !call.keyCheck->refusal.isEmpty())
                result.error = call.keyCheck->refusal;
            else if (transfer.tooLarge)
                result.error =
                    QStringLiteral("Die Antwort des Servers ist größer als erwartet (höchstens %1 "
                                   "Bytes): ")
                        .arg(transfer.limit) +
                    currentUrl;
            else if (transfer.sinkFailed)
                result.error = QStringLiteral("Die Datei kann nicht geschrieben werden: ") +
                               call.sink->errorString();
            else if (transfer.sourceFailed)
                result.error = QStringLiteral("Die Datei kann nicht gelesen werden: ") +
                               call.body->errorString();
            else if (code == CURLE_ABORTED_BY_CALLBACK)
                result.error = QStringLiteral("Übertragung abgebrochen: ") + currentUrl;
            else if (code == CURLE_PEER_FAILED_VERIFICATION || code == CURLE_SSL_CACERT_BADFILE)
                result.error = QStringLiteral("Das Zertifikat des Servers wird nicht anerkannt (") +
                               currentUrl + QStringLiteral("): ") + curl.errorText(code);
            else if (code == CURLE_OPERATION_TIMEDOUT)
                result.error = QStringLiteral("Zeitüberschreitung bei ") + currentUrl +
                               QStringLiteral(": ") + curl.errorText(code);
            else
                result.error = QStringLiteral("Keine Verbindung zu ") + currentUrl +
                               QStringLiteral(": ") + curl.errorText(code);
            return result;
        }
        if (followsRedirect(call, result.status)) {
            char* location = nullptr;
            curl_easy_getinfo(c, CURLINFO_REDIRECT_URL, &location);
            const QString target = QString::fromUtf8(location ? location : "");
            if (target.isEmpty()) {
                result.error = QStringLiteral("Der Server leitet %1 mit HTTP-Status %2 um, "
                                              "nennt aber kein Ziel")
                                   .arg(currentUrl)
                                   .arg(result.status);
                return result;
            }
            if (redirects == call.maxRedirects) {
                result.error = QStringLiteral("Zu viele Weiterleitungen (mehr als %1) beim Abruf "
                                              "von %2")
                                   .arg(call.maxRedirects)
                                   .arg(call.url);
                return result;
            }
            if (!refusedAddress(target).isEmpty()) {
                result.error = QStringLiteral("Weiterleitung von %1 nach %2 abgelehnt: nur "
                                              "HTTPS ist erlaubt")
                                   .arg(currentUrl, target);
                return result;
            }
            current = target.toUtf8();
            continue;
        }
        if (!call.accepted.contains(result.status)) {
            result.error = QStringLiteral("Der Server antwortet auf %1 mit HTTP-Status %2")
                               .arg(currentUrl)
                               .arg(result.status);
            result.refusalBody = std::move(transfer.refusalBody);
            return result;
        }
        break;
    }
    result.body = std::move(transfer.body);
    result.ok = true;
    return result;
}
