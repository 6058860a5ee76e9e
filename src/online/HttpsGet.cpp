#include "online/HttpsGet.h"

#include "online/TransferState.h"

#include <curl/curl.h>
#include <openssl/ssl.h>

#include <QFileInfo>
#include <QIODevice>
#include <QUrl>

#include <algorithm>
#include <limits>
#include <memory>
#include <mutex>

namespace {

struct EasyCleanup {
    void operator()(CURL* c) const { curl_easy_cleanup(c); }
};

struct Transfer {
    const HttpsRequest* request = nullptr;
    CURL* curl = nullptr;
    qint64 limit = 0; // the most bytes the body may have
    qint64 written = 0;
    QByteArray body;
    bool sinkFailed = false;
    bool tooLarge = false;
};

bool isRedirect(long status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

size_t writeBody(char* data, size_t size, size_t count, void* userdata) {
    auto* t = static_cast<Transfer*>(userdata);
    const size_t n = size * count;
    long status = 0;
    curl_easy_getinfo(t->curl, CURLINFO_RESPONSE_CODE, &status);
    if (status != 200)
        return n; // a redirect's or an error page's body is not the file
    if (t->written + qint64(n) > t->limit) {
        t->tooLarge = true;
        return 0;
    }
    t->written += qint64(n);
    if (t->request->sink) {
        if (t->request->sink->write(data, qint64(n)) != qint64(n)) {
            t->sinkFailed = true;
            return 0;
        }
    } else {
        t->body.append(data, qsizetype(n));
    }
    return n;
}

int progress(void* userdata, curl_off_t total, curl_off_t now, curl_off_t, curl_off_t) {
    auto* state = static_cast<TransferState*>(userdata);
    state->received = qint64(now);
    state->total = total > 0 ? qint64(total) : -1;
    return state->cancel ? 1 : 0;
}

// The extra authorities join the system's ones that libcurl has already loaded.
CURLcode addAuthorities(CURL*, void* sslCtx, void* userdata) {
    const auto* file = static_cast<const QByteArray*>(userdata);
    if (SSL_CTX_load_verify_locations(static_cast<SSL_CTX*>(sslCtx), file->constData(), nullptr) !=
        1)
        return CURLE_SSL_CACERT_BADFILE;
    return CURLE_OK;
}

void globalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

QString curlText(CURLcode code, const char* buffer) {
    return QString::fromUtf8(buffer && buffer[0] ? buffer : curl_easy_strerror(code)).trimmed();
}

} // namespace

QString refusedAddress(const QString& url) {
    const QUrl parsed(url, QUrl::StrictMode);
    if (!parsed.isValid() || parsed.host().isEmpty())
        return QStringLiteral("Ungültige Serveradresse: ") + url;
    if (parsed.scheme() != QLatin1String("https"))
        return QStringLiteral("Nur HTTPS ist erlaubt, die Adresse wird abgelehnt: ") + url;
    return {};
}

HttpsResult httpsGet(const HttpsRequest& request) {
    globalInit();
    HttpsResult result;
    result.error = refusedAddress(request.url);
    if (!result.error.isEmpty())
        return result;

    if (!request.caFile.isEmpty() && !QFileInfo(request.caFile).isReadable()) {
        result.error =
            QStringLiteral("Die Datei der Zertifizierungsstellen (WebCAFile) kann nicht gelesen "
                           "werden: ") +
            request.caFile;
        return result;
    }

    std::unique_ptr<CURL, EasyCleanup> curl(curl_easy_init());
    if (!curl) {
        result.error = QStringLiteral("Der HTTPS-Client kann nicht angelegt werden");
        return result;
    }
    CURL* c = curl.get();
    const QByteArray url = request.url.toUtf8();
    const QByteArray caFile = request.caFile.toLocal8Bit();
    char errorBuffer[CURL_ERROR_SIZE] = {};
    Transfer transfer;
    transfer.request = &request;
    transfer.curl = c;
    transfer.limit =
        request.sink
            ? (request.maxBytes >= 0 ? request.maxBytes : std::numeric_limits<qint64>::max())
            : (request.maxBytes >= 0 ? std::min(request.maxBytes, kMaxMemoryBody) : kMaxMemoryBody);

    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(c, CURLOPT_USERAGENT, request.userAgent.constData());
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(c, CURLOPT_SSLVERSION, long(CURL_SSLVERSION_TLSv1_2));
    if (!caFile.isEmpty()) {
        curl_easy_setopt(c, CURLOPT_SSL_CTX_FUNCTION, addAuthorities);
        curl_easy_setopt(c, CURLOPT_SSL_CTX_DATA, &caFile);
    }
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, writeBody);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, long(request.connectTimeoutS));
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, long(request.stallTimeoutS));
    curl_easy_setopt(c, CURLOPT_TIMEOUT, long(request.totalTimeoutS));
    curl_easy_setopt(c, CURLOPT_PROXY, "");
    if (request.state) {
        curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, progress);
        curl_easy_setopt(c, CURLOPT_XFERINFODATA, request.state);
    }

    // Redirects are followed here rather than by libcurl, so that every address is checked
    // before it is asked and a refused one is named in the message.
    QByteArray current = url;
    for (int redirects = 0;; ++redirects) {
        curl_easy_setopt(c, CURLOPT_URL, current.constData());
        const QString currentUrl = QString::fromUtf8(current);
        transfer.written = 0;
        transfer.body.clear();
        errorBuffer[0] = 0;
        const CURLcode code = curl_easy_perform(c);
        result.status = 0;
        curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &result.status);
        if (code != CURLE_OK) {
            if (transfer.tooLarge)
                result.error =
                    QStringLiteral("Die Antwort des Servers ist größer als erwartet (höchstens %1 "
                                   "Bytes): ")
                        .arg(transfer.limit) +
                    currentUrl;
            else if (transfer.sinkFailed)
                result.error = QStringLiteral("Die Datei kann nicht geschrieben werden: ") +
                               request.sink->errorString();
            else if (code == CURLE_ABORTED_BY_CALLBACK)
                result.error = QStringLiteral("Übertragung abgebrochen: ") + currentUrl;
            else if (code == CURLE_PEER_FAILED_VERIFICATION || code == CURLE_SSL_CACERT_BADFILE)
                result.error = QStringLiteral("Das Zertifikat des Servers wird nicht anerkannt (") +
                               currentUrl + QStringLiteral("): ") + curlText(code, errorBuffer);
            else if (code == CURLE_OPERATION_TIMEDOUT)
                result.error = QStringLiteral("Zeitüberschreitung bei ") + currentUrl +
                               QStringLiteral(": ") + curlText(code, errorBuffer);
            else
                result.error = QStringLiteral("Keine Verbindung zu ") + currentUrl +
                               QStringLiteral(": ") + curlText(code, errorBuffer);
            return result;
        }
        if (isRedirect(result.status)) {
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
            if (redirects == kMaxRedirects) {
                result.error = QStringLiteral("Zu viele Weiterleitungen (mehr als %1) beim Abruf "
                                              "von %2")
                                   .arg(kMaxRedirects)
                                   .arg(request.url);
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
        if (result.status != 200) {
            result.error = QStringLiteral("Der Server antwortet auf %1 mit HTTP-Status %2")
                               .arg(currentUrl)
                               .arg(result.status);
            return result;
        }
        break;
    }
    result.body = std::move(transfer.body);
    result.ok = true;
    return result;
}
