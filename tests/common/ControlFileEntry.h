#pragma once

#include <QByteArray>
#include <QCryptographicHash>
#include <QDate>
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

// The "Serial=" and "Expires=" lines a control file needs to count: `serial`, and the last day
// `days` from today (negative: expired that many days ago).
inline QByteArray controlFileValidity(quint64 serial = 100, int days = 30) {
    return "Serial=" + QByteArray::number(serial) + "\nExpires=" +
           QDate::currentDate().addDays(days).toString(Qt::ISODate).toLatin1() + '\n';
}

// A "Library=" line for the SFTP library `content` of `version`.
inline QByteArray controlFileLibrary(const QByteArray& content,
                                     const QByteArray& version = "0.78.2") {
    return "Library=" + version + ';' + QByteArray::number(content.size()) + ';' +
           QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex() + '\n';
}
