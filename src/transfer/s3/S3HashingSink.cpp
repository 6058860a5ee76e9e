#include "transfer/s3/S3HashingSink.h"

#include <openssl/evp.h>

S3HashingSink::S3HashingSink(QIODevice& target) : m_target(target), m_context(EVP_MD_CTX_new()) {
    if (m_context && EVP_DigestInit_ex(m_context, EVP_sha256(), nullptr) != 1) {
        EVP_MD_CTX_free(m_context);
        m_context = nullptr;
    }
    open(QIODevice::WriteOnly);
}

S3HashingSink::~S3HashingSink() {
    EVP_MD_CTX_free(m_context);
}

QByteArray S3HashingSink::sha256Hex() {
    if (!m_context)
        return QByteArray();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    const bool ok = EVP_DigestFinal_ex(m_context, digest, &length) == 1;
    EVP_MD_CTX_free(m_context);
    m_context = nullptr;
    return ok ? QByteArray(reinterpret_cast<const char*>(digest), qsizetype(length)).toHex()
              : QByteArray();
}

qint64 S3HashingSink::readData(char*, qint64) {
    return -1;
}

qint64 S3HashingSink::writeData(const char* data, qint64 size) {
    const qint64 written = m_target.write(data, size);
    if (written != size) {
        setErrorString(m_target.errorString());
        return -1;
    }
    if (m_context)
        EVP_DigestUpdate(m_context, data, size_t(size));
    return written;
}
