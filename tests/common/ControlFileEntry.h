#pragma once

#include <QByteArray>
#include <QCryptographicHash>
#include <QString>

#include <zlib.h>

// One "File=" line of an update control file that describes `content` truly: name, size,
// CRC-32 and SHA-256.
inline QByteArray controlFileEntry(const QString& name, const QByteArray& content) {
    const quint32 crc = quint32(
        crc32(0L, reinterpret_cast<const Bytef*>(content.constData()), uInt(content.size())));
    return "File=" + name.toUtf8() + ';' + QByteArray::number(content.size()) + ';' +
           QByteArray::number(crc, 16).rightJustified(8, '0') + ';' +
           QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex() + '\n';
}
