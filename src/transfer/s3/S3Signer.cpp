#include "transfer/s3/S3Signer.h"

#include <openssl/evp.h>

#include <QTimeZone>

#include <algorithm>

S3Signer::S3Signer(QByteArray accessKey, QByteArray secretKey, QByteArray region)
    : m_accessKey(std::move(accessKey)), m_secretKey(std::move(secretKey)),
      m_region(std::move(region)) {}

QByteArray S3Signer::encode(const QByteArray& text, bool keepSlash) {
    static const char hex[] = "0123456789ABCDEF";
    QByteArray out;
    out.reserve(text.size() * 3);
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                                (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.' ||
                                c == '~' || (keepSlash && c == '/');
        if (unreserved) {
            out.append(char(c));
        } else {
            out.append('%');
            out.append(hex[c >> 4]);
            out.append(hex[c & 15]);
        }
    }
    return out;
}

QByteArray S3Signer::canonicalQuery(const S3Pairs& query) {
    QList<QByteArray> parts;
    for (const auto& [name, value] : query)
        parts.append(encode(name, false) + '=' + encode(value, false));
    std::sort(parts.begin(), parts.end());
    return parts.join('&');
}

QByteArray S3Signer::sha256Hex(const QByteArray& data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(data.constData(), size_t(data.size()), digest, &length, EVP_sha256(), nullptr) !=
        1)
        return QByteArray();
    return QByteArray(reinterpret_cast<const char*>(digest), qsizetype(length)).toHex();
}

QByteArray S3Signer::md5Base64(const QByteArray& data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(data.constData(), size_t(data.size()), digest, &length, EVP_md5(), nullptr) != 1)
        return QByteArray();
    return QByteArray(reinterpret_cast<const char*>(digest), qsizetype(length)).toBase64();
}

QByteArray S3Signer::hmacSha256(const QByteArray& key, const QByteArray& data) {
    unsigned char mac[EVP_MAX_MD_SIZE];
    size_t length = 0;
    if (!EVP_Q_mac(nullptr, "HMAC", nullptr, "SHA256", nullptr, key.constData(), size_t(key.size()),
                   reinterpret_cast<const unsigned char*>(data.constData()), size_t(data.size()),
                   mac, sizeof mac, &length))
        return QByteArray();
    return QByteArray(reinterpret_cast<const char*>(mac), qsizetype(length));
}

QList<QByteArray> S3Signer::sign(const S3SignedRequest& request, const QDateTime& now) const {
    const QDateTime utc = now.toTimeZone(QTimeZone::utc());
    const QByteArray day = utc.toString(QStringLiteral("yyyyMMdd")).toLatin1();
    const QByteArray stamp = utc.toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'")).toLatin1();

    S3Pairs headers = request.headers;
    headers.append({"host", request.host});
    headers.append({"x-amz-content-sha256", request.payloadHash});
    headers.append({"x-amz-date", stamp});
    std::sort(headers.begin(), headers.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });

    QByteArray canonicalHeaders;
    QList<QByteArray> names;
    for (const auto& [name, value] : headers) {
        canonicalHeaders += name + ':' + value.simplified() + '\n';
        names.append(name);
    }
    const QByteArray signedHeaders = names.join(';');
    const QByteArray canonical = request.method + '\n' + request.path + '\n' +
                                 canonicalQuery(request.query) + '\n' + canonicalHeaders + '\n' +
                                 signedHeaders + '\n' + request.payloadHash;
    const QByteArray scope = day + '/' + m_region + "/s3/aws4_request";
    const QByteArray toSign =
        "AWS4-HMAC-SHA256\n" + stamp + '\n' + scope + '\n' + sha256Hex(canonical);
    QByteArray key = hmacSha256("AWS4" + m_secretKey, day);
    key = hmacSha256(key, m_region);
    key = hmacSha256(key, "s3");
    key = hmacSha256(key, "aws4_request");
    const QByteArray signature = hmacSha256(key, toSign).toHex();

    QList<QByteArray> out;
    for (const auto& [name, value] : headers)
        out.append(name + ": " + value);
    out.append("Authorization: AWS4-HMAC-SHA256 Credential=" + m_accessKey + '/' + scope +
               ", SignedHeaders=" + signedHeaders + ", Signature=" + signature);
    return out;
}
