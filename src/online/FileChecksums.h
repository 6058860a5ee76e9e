#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

class QIODevice;

// The checksums of a file's content, as the update's control file gives them.
struct FileChecksums {
    qint64 size = 0;
    quint32 crc32 = 0;
    QByteArray sha256; // lower-case hex

    // std::nullopt when the file cannot be read.
    static std::optional<FileChecksums> ofFile(const QString& path);
    // The content of an open file from its start, read through the handle.
    static std::optional<FileChecksums> ofDevice(QIODevice& file);
};
