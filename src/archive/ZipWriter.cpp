#include "archive/ZipWriter.h"

#include "archive/WinZipAes.h"
#include "platform/FileHints.h"
#include "platform/ProgramError.h"

#include <QDateTime>
#include <QFile>
#include <QFileDevice>
#include <QFileInfo>

#include <memory>

namespace {

constexpr quint32 localHeaderSignature = 0x04034b50;
constexpr quint32 centralHeaderSignature = 0x02014b50;
constexpr quint32 zip64EndSignature = 0x06064b50;
constexpr quint32 zip64LocatorSignature = 0x07064b50;
constexpr quint32 endSignature = 0x06054b50;
constexpr quint16 zip64ExtraTag = 0x0001;
constexpr quint16 utf8NameFlag = 0x0800;
constexpr quint16 methodDeflate = 8;
constexpr quint16 versionDeflate = 20;
constexpr quint16 versionZip64 = 45;
constexpr quint16 versionAes = 51;
constexpr quint16 encryptedFlag = 0x0001;
constexpr quint16 madeByUnix = (3 << 8) | versionZip64;
constexpr quint32 sentinel32 = 0xFFFFFFFFu;
constexpr quint16 sentinel16 = 0xFFFFu;
constexpr qint64 localHeaderFixedSize = 30;
constexpr qint64 crcFieldOffset = 14;

void put16(QByteArray& b, quint16 v) {
    b.append(char(v & 0xFF));
    b.append(char(v >> 8));
}

void put32(QByteArray& b, quint32 v) {
    put16(b, quint16(v & 0xFFFF));
    put16(b, quint16(v >> 16));
}

void put64(QByteArray& b, quint64 v) {
    put32(b, quint32(v & 0xFFFFFFFFu));
    put32(b, quint32(v >> 32));
}

quint32 unixMode(const QFile::Permissions p) {
    quint32 mode = 0100000; // regular file
    const std::pair<QFile::Permission, quint32> bits[] = {
        {QFile::ReadOwner, 0400}, {QFile::WriteOwner, 0200}, {QFile::ExeOwner, 0100},
        {QFile::ReadGroup, 040},  {QFile::WriteGroup, 020},  {QFile::ExeGroup, 010},
        {QFile::ReadOther, 04},   {QFile::WriteOther, 02},   {QFile::ExeOther, 01}};
    for (const auto& [permission, bit] : bits)
        if (p.testFlag(permission))
            mode |= bit;
    return mode;
}

QString withReason(const QString& text, const QString& reason) {
    return reason.isEmpty() ? text : text + QStringLiteral(" (") + reason + QLatin1Char(')');
}

[[noreturn]] void readFailed(const QString& path, const QString& reason) {
    throw ProgramError(
        withReason(QStringLiteral("Datei kann nicht gelesen werden: ") + path, reason));
}

} // namespace

ZipWriter::ZipWriter(QIODevice& out, QString outName, ZipLimits limits, DeflateOptions deflate)
    : m_out(out), m_outName(std::move(outName)), m_limits(limits),
      m_deflateOptions(std::move(deflate)) {
    // An archive file goes to disk while it is being packed, not all at once in the flush at the
    // end.
    if (auto* file = qobject_cast<QFileDevice*>(&m_out))
        m_writeBehind.emplace(*file);
}

ZipWriter::~ZipWriter() = default;

quint32 ZipWriter::dosDateTime(const QDateTime& local) {
    QDate date = local.date();
    QTime time = local.time();
    if (!date.isValid() || date.year() < 1980) {
        date = QDate(1980, 1, 1);
        time = QTime(0, 0);
    } else if (date.year() > 2107) {
        date = QDate(2107, 12, 31);
        time = QTime(23, 59, 58);
    }
    const quint32 dosDate = quint32((date.year() - 1980) << 9 | date.month() << 5 | date.day());
    const quint32 dosTime = quint32(time.hour() << 11 | time.minute() << 5 | time.second() / 2);
    return dosDate << 16 | dosTime;
}

void ZipWriter::addFile(const QString& path) {
    addFile(path, QFileInfo(path).fileName());
}

void ZipWriter::addFile(const QString& path, const QString& entryName) {
    if (m_broken || m_closed)
        throw ProgramError(QStringLiteral("ZIP-Datei ist nicht mehr beschreibbar: ") + m_outName);
    QFile in(path);
    if (QFileInfo(path).isDir())
        readFailed(path, QString());
    if (!in.open(QIODevice::ReadOnly))
        readFailed(path, in.errorString());
    addFile(in, path, entryName);
}

void ZipWriter::addFile(QFile& in, const QString& path, const QString& entryName) {
    if (m_broken || m_closed)
        throw ProgramError(QStringLiteral("ZIP-Datei ist nicht mehr beschreibbar: ") + m_outName);
    FileHints::readOnceInOrder(in);

    Entry e;
    e.name = entryName.toUtf8();
    if (e.name.size() > 0xFFFF)
        throw ProgramError(QStringLiteral("Dateiname zu lang für ZIP-Datei: ") + entryName);
    // Time and mode of the file that is read, asked of its descriptor, not of a name.
    e.dosTime = dosDateTime(in.fileTime(QFileDevice::FileModificationTime).toLocalTime());
    const quint32 mode = unixMode(in.permissions());
    e.externalAttributes = mode << 16 | ((mode & 0200) ? 0u : 0x01u); // low byte: DOS read-only
    const quint64 sizeAtOpen = quint64(in.size());
    if (!m_deflate)
        m_deflate = std::make_unique<ParallelDeflate>(m_deflateOptions);
    // Each entry has its own salt, so its own keys.
    std::unique_ptr<WinZipAes> aes;
    if (!m_password.isEmpty())
        aes = std::make_unique<WinZipAes>(m_password);
    e.encrypted = aes != nullptr;
    const quint64 overhead = aes ? quint64(WinZipAes::overhead) : 0;
    e.zip64Sizes = m_deflate->worstCase(sizeAtOpen) + overhead >= m_limits.zip64From32;
    e.headerOffset = m_position;
    // Anything that fails from here on leaves a partial entry behind.
    m_broken = true;

    QByteArray extra;
    if (e.zip64Sizes) { // first, where the patch below expects it
        put16(extra, zip64ExtraTag);
        put16(extra, 16);
        put64(extra, 0);
        put64(extra, 0);
    }
    if (aes)
        extra.append(WinZipAes::extraField());
    QByteArray header;
    put32(header, localHeaderSignature);
    put16(header, aes ? versionAes : e.zip64Sizes ? versionZip64 : versionDeflate);
    put16(header, aes ? (utf8NameFlag | encryptedFlag) : utf8NameFlag);
    put16(header, aes ? WinZipAes::method : methodDeflate);
    put32(header, e.dosTime);
    put32(header, 0); // CRC, patched below
    put32(header, e.zip64Sizes ? sentinel32 : 0);
    put32(header, e.zip64Sizes ? sentinel32 : 0);
    put16(header, quint16(e.name.size()));
    put16(header, quint16(extra.size()));
    header.append(e.name);
    header.append(extra);
    if (aes)
        header.append(aes->header());
    writeBytes(header);

    // A backup file is complete before it is packed. One that shrank or grew while it was read
    // would give an entry that looks sound but is not the backup (and a grown one may no longer
    // fit the header chosen for it).
    const auto changed = [&path] {
        readFailed(path, QStringLiteral("Datei hat sich beim Lesen verändert"));
    };
    const auto read = [&](char* into, qint64 length) {
        qint64 done = 0;
        while (done < length) {
            const qint64 n = in.read(into + done, length - done);
            if (n < 0)
                readFailed(path, in.errorString());
            if (n == 0)
                changed();
            done += n;
        }
    };
    const auto write = [this, &aes](const char* data, qint64 length) {
        if (aes)
            aes->authenticate(data, size_t(length));
        writeBytes(data, length);
    };
    ParallelDeflate::Seal seal;
    if (aes)
        seal = [&aes](quint64 offset, char* data, size_t size) {
            aes->encrypt(offset, data, size);
        };
    const ParallelDeflate::Result r = m_deflate->deflate(path, sizeAtOpen, read, write, seal);
    if (aes)
        writeBytes(aes->authenticationCode());
    e.size = r.size;
    e.compressedSize = r.compressedSize + overhead;
    // AE-2: the authentication code stands in for the CRC, which would tell about the content.
    e.crc = aes ? 0 : r.crc;
    char beyond = 0;
    const qint64 more = in.read(&beyond, 1);
    if (more < 0)
        readFailed(path, in.errorString());
    if (more > 0 || quint64(in.size()) != sizeAtOpen)
        changed();
    // The header was chosen from a bound, so this cannot happen; if it did, the classic fields
    // would hold cut-off sizes.
    if (!e.zip64Sizes &&
        (e.compressedSize >= m_limits.zip64From32 || e.size >= m_limits.zip64From32))
        throw ProgramError(QStringLiteral("Fehler beim Komprimieren: ") + path +
                           QStringLiteral(" (ZIP64 nötig)"));

    const quint64 end = m_position;
    QByteArray patch;
    put32(patch, e.crc);
    if (!e.zip64Sizes) {
        put32(patch, quint32(e.compressedSize));
        put32(patch, quint32(e.size));
    }
    seekTo(e.headerOffset + crcFieldOffset);
    writeBytes(patch);
    if (e.zip64Sizes) {
        QByteArray sizes;
        put64(sizes, e.size);
        put64(sizes, e.compressedSize);
        seekTo(e.headerOffset + localHeaderFixedSize + quint64(e.name.size()) + 4);
        writeBytes(sizes);
    }
    seekTo(end);
    m_entries.push_back(std::move(e));
    m_broken = false;
}

void ZipWriter::close() {
    if (m_closed)
        return;
    if (m_broken)
        throw ProgramError(QStringLiteral("ZIP-Datei ist nicht mehr beschreibbar: ") + m_outName);
    m_broken = true;
    writeCentralDirectory();
    if (auto* file = qobject_cast<QFileDevice*>(&m_out); file && !file->flush())
        writeFailed();
    m_broken = false;
    m_closed = true;
}

void ZipWriter::writeCentralDirectory() {
    const quint64 directoryOffset = m_position;
    for (const Entry& e : m_entries) {
        const bool bigOffset = e.headerOffset >= m_limits.zip64From32;
        QByteArray extra;
        if (e.zip64Sizes) {
            put64(extra, e.size);
            put64(extra, e.compressedSize);
        }
        if (bigOffset)
            put64(extra, e.headerOffset);
        const bool zip64 = !extra.isEmpty();
        if (zip64) {
            QByteArray tagged;
            put16(tagged, zip64ExtraTag);
            put16(tagged, quint16(extra.size()));
            extra.prepend(tagged);
        }
        if (e.encrypted)
            extra.append(WinZipAes::extraField());

        QByteArray h;
        put32(h, centralHeaderSignature);
        put16(h, e.encrypted ? quint16((3 << 8) | versionAes) : madeByUnix);
        put16(h, e.encrypted ? versionAes : zip64 ? versionZip64 : versionDeflate);
        put16(h, e.encrypted ? (utf8NameFlag | encryptedFlag) : utf8NameFlag);
        put16(h, e.encrypted ? WinZipAes::method : methodDeflate);
        put32(h, e.dosTime);
        put32(h, e.crc);
        put32(h, e.zip64Sizes ? sentinel32 : quint32(e.compressedSize));
        put32(h, e.zip64Sizes ? sentinel32 : quint32(e.size));
        put16(h, quint16(e.name.size()));
        put16(h, quint16(extra.size()));
        put16(h, 0); // comment length
        put16(h, 0); // disk number start
        put16(h, 0); // internal attributes
        put32(h, e.externalAttributes);
        put32(h, bigOffset ? sentinel32 : quint32(e.headerOffset));
        h.append(e.name);
        h.append(extra);
        writeBytes(h);
    }
    const quint64 directorySize = m_position - directoryOffset;
    const quint64 count = m_entries.size();

    const bool manyEntries = count >= m_limits.zip64From16;
    const bool bigDirectory = directorySize >= m_limits.zip64From32;
    const bool farDirectory = directoryOffset >= m_limits.zip64From32;
    QByteArray tail;
    if (manyEntries || bigDirectory || farDirectory) {
        const quint64 zip64EndOffset = m_position;
        put32(tail, zip64EndSignature);
        put64(tail, 44); // size of the rest of this record
        put16(tail, madeByUnix);
        put16(tail, versionZip64);
        put32(tail, 0); // this disk
        put32(tail, 0); // disk of the central directory
        put64(tail, count);
        put64(tail, count);
        put64(tail, directorySize);
        put64(tail, directoryOffset);
        put32(tail, zip64LocatorSignature);
        put32(tail, 0);
        put64(tail, zip64EndOffset);
        put32(tail, 1); // total disks
    }
    put32(tail, endSignature);
    put16(tail, 0);
    put16(tail, 0);
    put16(tail, manyEntries ? sentinel16 : quint16(count));
    put16(tail, manyEntries ? sentinel16 : quint16(count));
    put32(tail, bigDirectory ? sentinel32 : quint32(directorySize));
    put32(tail, farDirectory ? sentinel32 : quint32(directoryOffset));
    put16(tail, 0); // no comment
    writeBytes(tail);
}

void ZipWriter::writeBytes(const char* data, qint64 length) {
    qint64 done = 0;
    while (done < length) {
        const qint64 n = m_out.write(data + done, length - done);
        if (n <= 0)
            writeFailed();
        done += n;
    }
    m_position += quint64(length);
    if (m_writeBehind && !m_writeBehind->written(length))
        writeFailed();
}

void ZipWriter::seekTo(quint64 position) {
    if (!m_out.seek(qint64(position)))
        writeFailed();
    m_position = position;
}

void ZipWriter::writeFailed() {
    m_broken = true;
    // Qt's placeholder for "no reason known" says nothing to the reader.
    QString reason = m_out.errorString();
    if (reason == QLatin1String("Unknown error"))
        reason.clear();
    throw ProgramError(
        withReason(QStringLiteral("Datei kann nicht geschrieben werden: ") + m_outName, reason));
}
