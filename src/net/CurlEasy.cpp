#include "net/CurlEasy.h"

#include "net/ServerKeyCheck.h"

#include <openssl/ssl.h>

#include <QFile>

#include <mutex>

namespace {

void globalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// The extra authorities join the system's ones that libcurl has already loaded.
CURLcode addAuthorities(CURL*, void* sslContext, void* userdata) {
    const auto* file = static_cast<const QByteArray*>(userdata);
    if (SSL_CTX_load_verify_locations(static_cast<SSL_CTX*>(sslContext), file->constData(),
                                      nullptr) != 1)
        return CURLE_SSL_CACERT_BADFILE;
    return CURLE_OK;
}

// libcurl hands over each TLS context before its handshake (FTP: control and data connection).
CURLcode checkServerKey(CURL*, void* sslContext, void* userdata) {
    static_cast<ServerKeyCheck*>(userdata)->install(sslContext);
    return CURLE_OK;
}

} // namespace

CurlEasy::CurlEasy() {
    globalInit();
    m_curl = curl_easy_init();
    if (!m_curl)
        return;
    curl_easy_setopt(m_curl, CURLOPT_ERRORBUFFER, m_error);
    curl_easy_setopt(m_curl, CURLOPT_NOSIGNAL, 1L);
    // An empty proxy switches every proxy off, the environment's included.
    curl_easy_setopt(m_curl, CURLOPT_PROXY, "");
    curl_easy_setopt(m_curl, CURLOPT_TCP_KEEPALIVE, 1L);
}

CurlEasy::~CurlEasy() {
    if (m_curl)
        curl_easy_cleanup(m_curl);
}

void CurlEasy::limitTo(const CurlLimits& limits) {
    curl_easy_setopt(m_curl, CURLOPT_CONNECTTIMEOUT, long(limits.connectS));
    curl_easy_setopt(m_curl, CURLOPT_LOW_SPEED_LIMIT, limits.stallS > 0 ? 1L : 0L);
    curl_easy_setopt(m_curl, CURLOPT_LOW_SPEED_TIME, long(limits.stallS));
    curl_easy_setopt(m_curl, CURLOPT_TIMEOUT, long(limits.totalS));
    if (limits.replyS > 0)
        curl_easy_setopt(m_curl, CURLOPT_SERVER_RESPONSE_TIMEOUT, long(limits.replyS));
    if (limits.acceptMs > 0)
        curl_easy_setopt(m_curl, CURLOPT_ACCEPTTIMEOUT_MS, long(limits.acceptMs));
}

void CurlEasy::verifyByAuthorities(const QString& caFile) {
    curl_easy_setopt(m_curl, CURLOPT_SSLVERSION, long(CURL_SSLVERSION_TLSv1_2));
    curl_easy_setopt(m_curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(m_curl, CURLOPT_SSL_VERIFYHOST, 2L);
    m_caFile = QFile::encodeName(caFile);
    if (!m_caFile.isEmpty()) {
        curl_easy_setopt(m_curl, CURLOPT_SSL_CTX_FUNCTION, addAuthorities);
        curl_easy_setopt(m_curl, CURLOPT_SSL_CTX_DATA, &m_caFile);
    }
}

void CurlEasy::verifyByAuthorityOrKey(ServerKeyCheck& check) {
    curl_easy_setopt(m_curl, CURLOPT_SSLVERSION, long(CURL_SSLVERSION_TLSv1_2));
    // Small firms' servers mostly have certificates of their own making: libcurl's own check is
    // off, the check's takes its place in the handshake (authority or kept key).
    curl_easy_setopt(m_curl, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(m_curl, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(m_curl, CURLOPT_SSL_CTX_FUNCTION, checkServerKey);
    curl_easy_setopt(m_curl, CURLOPT_SSL_CTX_DATA, &check);
}

CURLcode CurlEasy::perform() {
    m_error[0] = 0;
    return curl_easy_perform(m_curl);
}

QString CurlEasy::errorText(CURLcode code) const {
    return QString::fromUtf8(m_error[0] ? m_error : curl_easy_strerror(code)).trimmed();
}
