#include "online/HttpsGet.h"

#include "online/TransferState.h"

#include <curl/curl.h>
#include <openssl/ssl.h>

#include <QFileInfo>
#include <QIODevice>
#include <QUrl>

#include <memory>
#include <mutex>

namespace {

struct EasyCleanup {
    void operator()(CURL* c) const { curl_easy_cleanup(c); }
};

struct Transfer {
    const HttpsRequest* request = nullptr;
    QByteArray body;
    bool sinkFailed = false;
    bool tooLarge = false;
};

size_t writeBody(char* data, size_t size, size_t count, void* userdata) {
    auto* t = static_cast<Transfer*>(userdata);
    const size_t n = size * count;
    if (t->request->sink) {
        if (t->request->sink->write(data, qint64(n)) != qint64(n)) {
            t->sinkFailed = true;
            return 0;
        }
    } else {
        if (t->body.size() + qint64(n) > kMaxMemoryBody) {
            t->tooLarge = true;
            return 0;
        }
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

    curl_easy_setopt(c, CURLOPT_URL, url.constData());
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

    const CURLcode code = curl_easy_perform(c);
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &result.status);
    if (code != CURLE_OK) {
        if (transfer.tooLarge)
            result.error = QStringLiteral("Die Antwort des Servers ist zu groß: ") + request.url;
        else if (transfer.sinkFailed)
            result.error = QStringLiteral("Die Datei kann nicht geschrieben werden: ") +
                           request.sink->errorString();
        else if (code == CURLE_ABORTED_BY_CALLBACK)
            result.error = QStringLiteral("Übertragung abgebrochen: ") + request.url;
        else if (code == CURLE_PEER_FAILED_VERIFICATION || code == CURLE_SSL_CACERT_BADFILE)
            result.error = QStringLiteral("Das Zertifikat des Servers wird nicht anerkannt (") +
                           request.url + QStringLiteral("): ") + curlText(code, errorBuffer);
        else if (code == CURLE_OPERATION_TIMEDOUT)
            result.error = QStringLiteral("Zeitüberschreitung bei ") + request.url +
                           QStringLiteral(": ") + curlText(code, errorBuffer);
        else
            result.error = QStringLiteral("Keine Verbindung zu ") + request.url +
                           QStringLiteral(": ") + curlText(code, errorBuffer);
        return result;
    }
    if (result.status != 200) {
        result.error = QStringLiteral("Der Server antwortet auf %1 mit HTTP-Status %2")
                           .arg(request.url)
                           .arg(result.status);
        return result;
    }
    result.body = std::move(transfer.body);
    result.ok = true;
    return result;
}
