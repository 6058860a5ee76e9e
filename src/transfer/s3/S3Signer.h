#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QPair>

using S3Pairs = QList<QPair<QByteArray, QByteArray>>;

// A request as Signature Version 4 signs it: the parts are given as they go on the wire.
struct S3SignedRequest {
    QByteArray method;
    QByteArray host;        // the Host header: host, or host:port for another port than 443
    QByteArray path;        // percent-encoded, '/' between the segments
    S3Pairs query;          // raw names and values; encoded and sorted for the signature
    S3Pairs headers;        // names in lower case; sent and signed
    QByteArray payloadHash; // hex SHA-256 of the body, or UnsignedPayload
};

// Signs S3 requests with Signature Version 4 (AWS4-HMAC-SHA256) over the payload's SHA-256,
// hashes and MACs from OpenSSL's EVP interfaces. Holds the secret key and never shows it.
class S3Signer {
public:
    S3Signer(QByteArray accessKey, QByteArray secretKey, QByteArray region);

    // The headers to send ("Name: value"): the request's own, Host, x-amz-date,
    // x-amz-content-sha256 and Authorization. now: the time the request is signed at.
    QList<QByteArray> sign(const S3SignedRequest& request, const QDateTime& now) const;

    // The query as it goes on the wire and into the signature: names and values encoded,
    // sorted by name.
    static QByteArray canonicalQuery(const S3Pairs& query);
    // RFC 3986 percent-encoding; '/' kept when keepSlash.
    static QByteArray encode(const QByteArray& text, bool keepSlash);
    static QByteArray sha256Hex(const QByteArray& data);
    // The MD5 as Content-MD5 wants it (base64).
    static QByteArray md5Base64(const QByteArray& data);
    static QByteArray hmacSha256(const QByteArray& key, const QByteArray& data);

    // Signs the request without its body (allowed over HTTPS only).
    static constexpr const char* UnsignedPayload = "UNSIGNED-PAYLOAD";
    static constexpr const char* EmptyPayloadHash =
        "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

private:
    QByteArray m_accessKey;
    QByteArray m_secretKey;
    QByteArray m_region;
};
