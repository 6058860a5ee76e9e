#pragma once

#include "archive/ParallelDeflate.h"
#include "platform/FileHints.h"

#include <QFile>
#include <QIODevice>
#include <QString>
#include <QtGlobal>

#include <memory>
#include <optional>
#include <vector>

// The values from which a header field no longer fits and the ZIP64 records take over.
// Only tests lower them, to exercise the ZIP64 paths with small files.
struct ZipLimits {
    quint64 zip64From32 = 0xFFFFFFFFu;
    quint64 zip64From16 = 0xFFFFu;
};

// Writes a ZIP archive onto a seekable device, one Deflate entry per file. An entry's data is
// compressed on every core (ParallelDeflate) into one standard Deflate stream, each block
// checked before it is written, through a fixed number of buffers so memory stays the same
// whatever the size of the files. Each local header is patched with the CRC and the sizes once
// its data is written, so no data descriptors are needed. Sizes, offsets and counts that do not
// fit the classic fields use the ZIP64 records. With a password every entry is encrypted with
// AES-256 in the WinZip AES form (WinZipAes), its pieces on the workers. Every failure throws
// ProgramError with a German message that names the file.
class ZipWriter {
public:
    // `out` must be open for writing, empty, and seekable; `outName` names it in messages.
    ZipWriter(QIODevice& out, QString outName, ZipLimits limits = ZipLimits(),
              DeflateOptions deflate = DeflateOptions());
    ~ZipWriter();
    ZipWriter(const ZipWriter&) = delete;
    ZipWriter& operator=(const ZipWriter&) = delete;

    // Encrypts the entries added from now on; an empty password stores them unencrypted.
    void setPassword(const QString& password) { m_password = password.toUtf8(); }

    // Adds the file as an entry named after its file name without folder.
    void addFile(const QString& path);
    // Adds the file under the given entry name.
    void addFile(const QString& path, const QString& entryName);
    // Adds a file already open for reading, from where it stands; its name, time and mode are
    // those of the open file, whatever `path` (which names it in messages) now points to.
    void addFile(QFile& in, const QString& path, const QString& entryName);
    // Writes the central directory; afterwards the device holds a complete archive.
    void close();

    // MS-DOS time (low 16 bits) and date (high 16 bits) of a local time, clamped to 1980..2107.
    static quint32 dosDateTime(const QDateTime& local);

private:
    struct Entry {
        QByteArray name;
        quint32 crc = 0;
        quint64 compressedSize = 0;
        quint64 size = 0;
        quint64 headerOffset = 0;
        quint32 dosTime = 0;
        quint32 externalAttributes = 0;
        bool zip64Sizes = false; // the local header carries a ZIP64 extra field
        bool encrypted = false;
    };

    void writeBytes(const char* data, qint64 length);
    void writeBytes(const QByteArray& data) { writeBytes(data.constData(), data.size()); }
    void seekTo(quint64 position);
    [[noreturn]] void writeFailed();
    void writeCentralDirectory();

    QIODevice& m_out;
    QString m_outName;
    ZipLimits m_limits;
    DeflateOptions m_deflateOptions;
    QByteArray m_password; // UTF-8; empty: no encryption
    std::unique_ptr<ParallelDeflate> m_deflate; // started with the first entry
    quint64 m_position = 0;
    std::optional<FileHints::WriteBehind> m_writeBehind; // when the device is a file
    std::vector<Entry> m_entries;
    bool m_broken = false;
    bool m_closed = false;
};
