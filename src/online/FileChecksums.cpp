#include "online/FileChecksums.h"

#include <QFile>

#include <openssl/evp.h>
#include <zlib.h>

#include <memory>

namespace {
struct MdCtxFree {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
} // namespace

std::optional<FileChecksums> FileChecksums::ofFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return ofDevice(file);
}

std::optional<FileChecksums> FileChecksums::ofDevice(QIODevice& file) {
    if (!file.seek(0))
        return std::nullopt;
    FileChecksums sums;
    const std::unique_ptr<EVP_MD_CTX, MdCtxFree> sha(EVP_MD_CTX_new());
    if (!sha || EVP_DigestInit_ex(sha.get(), EVP_sha256(), nullptr) != 1)
        return std::nullopt;
    uLong crc = ::crc32(0L, Z_NULL, 0);
    QByteArray buffer(1 << 16, Qt::Uninitialized);
    for (;;) {
        const qint64 n = file.read(buffer.data(), buffer.size());
        if (n < 0)
            return std::nullopt;
        if (n == 0)
            break;
        if (EVP_DigestUpdate(sha.get(), buffer.constData(), size_t(n)) != 1)
            return std::nullopt;
        crc = ::crc32(crc, reinterpret_cast<const Bytef*>(buffer.constData()), uInt(n));
        sums.size += n;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(sha.get(), digest, &length) != 1)
        return std::nullopt;
    sums.crc32 = quint32(crc);
    sums.sha256 = QByteArray(reinterpret_cast<const char*>(digest), int(length)).toHex();
    return sums;
}
