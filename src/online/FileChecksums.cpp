#include "online/FileChecksums.h"

#include <QCryptographicHash>
#include <QFile>

#include <zlib.h>

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
    QCryptographicHash sha(QCryptographicHash::Sha256);
    uLong crc = ::crc32(0L, Z_NULL, 0);
    QByteArray buffer(1 << 16, Qt::Uninitialized);
    for (;;) {
        const qint64 n = file.read(buffer.data(), buffer.size());
        if (n < 0)
            return std::nullopt;
        if (n == 0)
            break;
        sha.addData(QByteArrayView(buffer.constData(), n));
        crc = ::crc32(crc, reinterpret_cast<const Bytef*>(buffer.constData()), uInt(n));
        sums.size += n;
    }
    sums.crc32 = quint32(crc);
    sums.sha256 = sha.result().toHex();
    return sums;
}
