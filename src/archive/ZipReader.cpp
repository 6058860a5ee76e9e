#include "archive/ZipReader.h"

#include "archive/WinZipAes.h"
#include "platform/DiskSync.h"
#include "platform/FileHints.h"
#include "platform/NoFollowFile.h"
#include "platform/ProgramError.h"

#include <QDir>
#include <QFileInfo>
#include <QStringDecoder>
#include <QTemporaryFile>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <libdeflate.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr quint32 localHeaderSignature = 0x04034b50;
constexpr quint32 centralHeaderSignature = 0x02014b50;
constexpr quint32 zip64EndSignature = 0x06064b50;
constexpr quint32 zip64LocatorSignature = 0x07064b50;
constexpr quint32 endSignature = 0x06054b50;
constexpr qint64 endRecordSize = 22;
constexpr qint64 zip64LocatorSize = 20;
constexpr qint64 zip64EndSize = 56;
constexpr qint64 centralHeaderSize = 46;
constexpr qint64 localHeaderSize = 30;
constexpr quint16 zip64ExtraTag = 0x0001;
constexpr quint16 utf8NameFlag = 0x0800;
constexpr quint16 encryptedFlag = 0x0001;
constexpr quint16 strongEncryptionFlag = 0x0040;
constexpr quint16 methodStored = 0;
constexpr quint16 methodDeflate = 8;
constexpr quint32 sentinel32 = 0xFFFFFFFFu;
constexpr quint16 sentinel16 = 0xFFFFu;
// A larger central directory (some 170,000 entries) is not one of ours, and its entries would
// take more memory than a restore may.
constexpr quint64 largestDirectory = 8 << 20;
constexpr qint64 copyChunk = 1 << 20;

quint16 get16(const char* p) {
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    return quint16(u[0] | u[1] << 8);
}
quint32 get32(const char* p) {
    return quint32(get16(p)) | quint32(get16(p + 2)) << 16;
}
quint64 get64(const char* p) {
    return quint64(get32(p)) | quint64(get32(p + 4)) << 32;
}

QString decodeName(const QByteArray& raw, bool utf8Flag) {
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString asUtf8 = utf8.decode(raw);
    if (utf8Flag || !utf8.hasError())
        return asUtf8;
    return QString::fromLatin1(raw);
}

// Why `name` may not be used for a file, or nothing: it must not reach outside the folder it is
// unpacked into, whatever system reads it.
QString nameProblem(const QString& name) {
    if (name.isEmpty())
        return QStringLiteral("leerer Name");
    if (name.contains(QChar(0)))
        return QStringLiteral("Name enthält ein NUL-Zeichen");
    if (name.contains(QLatin1Char('\\')))
        return QStringLiteral("Name enthält einen umgekehrten Schrägstrich");
    if (name.startsWith(QLatin1Char('/')) ||
        (name.size() >= 2 && name[1] == QLatin1Char(':') && name[0].isLetter()))
        return QStringLiteral("absoluter Pfad");
    const QStringList parts = name.split(QLatin1Char('/'));
    for (const QString& part : parts)
        if (part == QLatin1String(".."))
            return QStringLiteral("Name reicht aus dem Zielordner hinaus");
    return {};
}

QString systemError() {
    return QString::fromLocal8Bit(std::strerror(errno));
}

} // namespace

struct ZipReader::Data {
    quint64 offset = 0; // of the entry's data, after its local header
    quint64 size = 0;
};

ZipReader::ZipReader(const QString& path, InflateOptions inflate)
    : m_path(path), m_inflateOptions(inflate) {
    m_fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (m_fd < 0) {
        if (errno == ELOOP)
            throw ProgramError(NoFollowFile::refusal(path));
        throw ProgramError(QStringLiteral("ZIP-Datei kann nicht geöffnet werden: ") + path +
                           QStringLiteral(" (") + systemError() + QLatin1Char(')'));
    }
    struct stat st {};
    if (::fstat(m_fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(m_fd);
        throw ProgramError(QStringLiteral("ZIP-Datei ist keine gewöhnliche Datei: ") + path);
    }
    m_fileSize = quint64(st.st_size);
    try {
        readDirectory();
    } catch (...) {
        ::close(m_fd);
        throw;
    }
}

ZipReader::~ZipReader() {
    ::close(m_fd);
}

void ZipReader::broken(const QString& reason) const {
    throw ProgramError(QStringLiteral("ZIP-Datei beschädigt oder abgeschnitten: ") + m_path +
                       QStringLiteral(" (") + reason + QLatin1Char(')'));
}

QString ZipReader::entryName(const ZipEntry& e) const {
    return e.name + QStringLiteral(" in ") + m_path;
}

void ZipReader::readAt(quint64 offset, char* into, qint64 length) const {
    if (offset > m_fileSize || quint64(length) > m_fileSize - offset)
        broken(QStringLiteral("Daten hinter dem Dateiende"));
    qint64 done = 0;
    while (done < length) {
        const ssize_t n = ::pread(m_fd, into + done, size_t(length - done), off_t(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw ProgramError(QStringLiteral("ZIP-Datei kann nicht gelesen werden: ") + m_path +
                               QStringLiteral(" (") + systemError() + QLatin1Char(')'));
        if (n == 0)
            broken(QStringLiteral("Datei endet vorzeitig"));
        done += n;
    }
}

void ZipReader::readDirectory() {
    // The end record: the last signature whose record and comment end with the file, or else
    // (bytes appended after the archive) the last whose record and comment fit in it. A comment
    // may hold the signature too; the first rule finds the real record before it.
    const qint64 tailSize = qint64(std::min<quint64>(m_fileSize, endRecordSize + 0xFFFF));
    if (tailSize < endRecordSize)
        broken(QStringLiteral("Ende des Inhaltsverzeichnisses fehlt"));
    QByteArray tail(tailSize, Qt::Uninitialized);
    const quint64 tailStart = m_fileSize - quint64(tailSize);
    readAt(tailStart, tail.data(), tailSize);
    qint64 at = -1;
    for (const bool exact : {true, false}) {
        for (at = tailSize - endRecordSize; at >= 0; --at) {
            if (get32(tail.constData() + at) != endSignature)
                continue;
            const qint64 recordEnd = at + endRecordSize + get16(tail.constData() + at + 20);
            if (exact ? recordEnd == tailSize : recordEnd <= tailSize)
                break;
        }
        if (at >= 0)
            break;
    }
    if (at < 0)
        broken(QStringLiteral("Ende des Inhaltsverzeichnisses fehlt"));
    const char* end = tail.constData() + at;
    const quint64 endOffset = tailStart + quint64(at);
    if (get16(end + 4) != 0 || get16(end + 6) != 0)
        throw ProgramError(QStringLiteral("Mehrteilige ZIP-Dateien werden nicht unterstützt: ") +
                           m_path);
    quint64 count = get16(end + 10);
    quint64 directorySize = get32(end + 12);
    quint64 directoryOffset = get32(end + 16);
    quint64 directoryEnd = endOffset;

    char locator[zip64LocatorSize];
    const bool zip64 = endOffset >= quint64(zip64LocatorSize) &&
                       (readAt(endOffset - zip64LocatorSize, locator, zip64LocatorSize),
                        get32(locator) == zip64LocatorSignature);
    if (zip64) {
        const quint64 recordOffset = get64(locator + 8);
        if (recordOffset > endOffset - zip64LocatorSize ||
            endOffset - zip64LocatorSize - recordOffset < quint64(zip64EndSize))
            broken(QStringLiteral("ZIP64-Ende zeigt hinter das Ende"));
        char record[zip64EndSize];
        readAt(recordOffset, record, zip64EndSize);
        if (get32(record) != zip64EndSignature)
            broken(QStringLiteral("ZIP64-Ende fehlt"));
        if (get32(record + 16) != 0 || get32(record + 20) != 0)
            throw ProgramError(
                QStringLiteral("Mehrteilige ZIP-Dateien werden nicht unterstützt: ") + m_path);
        count = get64(record + 32);
        directorySize = get64(record + 40);
        directoryOffset = get64(record + 48);
        directoryEnd = recordOffset;
    } else if (count == sentinel16 || directorySize == sentinel32 ||
               directoryOffset == sentinel32) {
        broken(QStringLiteral("ZIP64-Angaben fehlen"));
    }
    if (directoryOffset > directoryEnd || directorySize != directoryEnd - directoryOffset)
        broken(QStringLiteral("Inhaltsverzeichnis zeigt hinter das Ende"));
    if (directorySize > largestDirectory)
        broken(QStringLiteral("Inhaltsverzeichnis zu groß"));
    if (count > directorySize / centralHeaderSize)
        broken(QStringLiteral("Zahl der Einträge passt nicht zum Inhaltsverzeichnis"));
    m_directoryOffset = directoryOffset;

    QByteArray directory(qsizetype(directorySize), Qt::Uninitialized);
    readAt(directoryOffset, directory.data(), qint64(directorySize));
    const char* p = directory.constData();
    const char* const stop = p + directory.size();
    m_entries.reserve(size_t(count));
    for (quint64 i = 0; i < count; ++i) {
        if (stop - p < centralHeaderSize || get32(p) != centralHeaderSignature)
            broken(QStringLiteral("Inhaltsverzeichnis fehlerhaft"));
        const int nameLength = get16(p + 28);
        const int extraLength = get16(p + 30);
        const int commentLength = get16(p + 32);
        if (stop - p < centralHeaderSize + nameLength + extraLength + commentLength)
            broken(QStringLiteral("Inhaltsverzeichnis fehlerhaft"));
        ZipEntry e;
        e.flags = get16(p + 8);
        quint16 method = get16(p + 10);
        e.crc = get32(p + 16);
        e.compressedSize = get32(p + 20);
        e.size = get32(p + 24);
        const quint32 disk = get16(p + 34);
        e.headerOffset = get32(p + 42);
        const QByteArray rawName(p + centralHeaderSize, nameLength);
        e.name = decodeName(rawName, e.flags & utf8NameFlag);

        bool sizeFound = e.size != sentinel32;
        bool compressedFound = e.compressedSize != sentinel32;
        bool offsetFound = e.headerOffset != sentinel32;
        bool aesFound = false;
        quint16 aesMethod = 0;
        const char* x = p + centralHeaderSize + nameLength;
        const char* const xEnd = x + extraLength;
        while (xEnd - x >= 4) {
            const quint16 tag = get16(x);
            const quint16 length = get16(x + 2);
            const char* v = x + 4;
            if (xEnd - v < length)
                break; // a torn extra field: what it would have said is checked below
            if (tag == zip64ExtraTag) {
                // Only the fields whose classic value is the sentinel are there, in this order.
                const char* f = v;
                const auto take = [&](quint64& into, bool& found) {
                    if (found)
                        return;
                    if (v + length - f >= 8) {
                        into = get64(f);
                        f += 8;
                        found = true;
                    }
                };
                take(e.size, sizeFound);
                take(e.compressedSize, compressedFound);
                take(e.headerOffset, offsetFound);
            } else if (tag == WinZipAes::extraTag && length >= 7 && v[2] == 'A' && v[3] == 'E') {
                aesFound = true;
                e.aesVersion = get16(v);
                e.aesStrength = static_cast<unsigned char>(v[4]);
                aesMethod = get16(v + 5);
            }
            x = v + length;
        }
        if (!sizeFound || !compressedFound || !offsetFound)
            broken(QStringLiteral("ZIP64-Angaben fehlen für ") + e.name);
        if (disk != 0 && disk != sentinel16)
            throw ProgramError(
                QStringLiteral("Mehrteilige ZIP-Dateien werden nicht unterstützt: ") + m_path);
        e.encrypted = (e.flags & encryptedFlag) || method == WinZipAes::method;
        if (aesFound && method == WinZipAes::method)
            method = aesMethod;
        else
            e.aesVersion = e.aesStrength = 0;
        e.method = method;
        e.nameProblem = nameProblem(e.name);
        if (e.nameProblem.isEmpty())
            e.fileName = e.name.mid(e.name.lastIndexOf(QLatin1Char('/')) + 1);
        if (e.fileName == QLatin1String("."))
            e.fileName.clear(); // a folder too
        if (e.headerOffset >= m_directoryOffset)
            broken(QStringLiteral("Eintrag zeigt hinter seine Daten: ") + e.name);
        m_entries.push_back(std::move(e));
        p += centralHeaderSize + nameLength + extraLength + commentLength;
    }
}

const ZipEntry& ZipReader::entry(const QString& name) const {
    for (const ZipEntry& e : m_entries)
        if (e.name == name)
            return e;
    for (const ZipEntry& e : m_entries)
        if (!e.fileName.isEmpty() && e.fileName == name)
            return e;
    throw ProgramError(QStringLiteral("Eintrag nicht in der ZIP-Datei: ") + name +
                       QStringLiteral(" (") + m_path + QLatin1Char(')'));
}

ZipReader::Data ZipReader::locateData(const ZipEntry& e) const {
    char header[localHeaderSize];
    readAt(e.headerOffset, header, localHeaderSize);
    if (get32(header) != localHeaderSignature)
        broken(QStringLiteral("Kopf des Eintrags fehlt: ") + e.name);
    Data d;
    d.offset = e.headerOffset + localHeaderSize + get16(header + 26) + get16(header + 28);
    d.size = e.compressedSize;
    if (d.offset > m_directoryOffset || d.size > m_directoryOffset - d.offset)
        broken(QStringLiteral("Daten des Eintrags reichen hinter sein Ende: ") + e.name);
    return d;
}

void ZipReader::unpack(const ZipEntry& e, const QString& password, const Sink& sink,
                       Authentication authentication) {
    const QString shown = entryName(e);
    if (e.flags & strongEncryptionFlag || (e.encrypted && e.aesVersion == 0))
        throw ProgramError(QStringLiteral("Verschlüsselung nicht unterstützt: ") + shown);
    if (e.encrypted &&
        (WinZipAes::saltSizeFor(e.aesStrength) == 0 || (e.aesVersion != 1 && e.aesVersion != 2)))
        throw ProgramError(
            QStringLiteral("AES-Verschlüsselung in dieser Form nicht unterstützt: ") + shown);
    if (e.method != methodStored && e.method != methodDeflate)
        throw ProgramError(
            QStringLiteral("Komprimierungsmethode %1 nicht unterstützt: ").arg(e.method) + shown);
    Data d = locateData(e);

    std::unique_ptr<WinZipAes> aes;
    if (e.encrypted) {
        if (password.isEmpty())
            throw ProgramError(QStringLiteral("Passwort fehlt für verschlüsselten Eintrag: ") +
                               shown);
        const int saltSize = WinZipAes::saltSizeFor(e.aesStrength);
        const int headSize = saltSize + WinZipAes::verifierSize;
        if (d.size < quint64(headSize + WinZipAes::macSize))
            broken(QStringLiteral("Eintrag zu kurz für AES: ") + e.name);
        QByteArray head(headSize, Qt::Uninitialized);
        readAt(d.offset, head.data(), headSize);
        aes = std::make_unique<WinZipAes>(password.toUtf8(), head.left(saltSize), e.aesStrength);
        if (aes->header() != head)
            throw ProgramError(QStringLiteral("Falsches Passwort für ") + shown);
        d.offset += quint64(headSize);
        d.size -= quint64(headSize + WinZipAes::macSize);
    }
    // The authentication code over the whole ciphertext: true when it is the one stored.
    const auto authenticate = [this, &aes, d] {
        const auto buffer = std::make_unique_for_overwrite<char[]>(size_t(copyChunk));
        for (quint64 done = 0; done < d.size;) {
            const qint64 n = qint64(std::min<quint64>(quint64(copyChunk), d.size - done));
            readAt(d.offset + done, buffer.get(), n);
            aes->authenticate(buffer.get(), size_t(n));
            done += quint64(n);
        }
        char code[WinZipAes::macSize];
        readAt(d.offset + d.size, code, WinZipAes::macSize);
        return aes->authenticationCode() == QByteArray(code, WinZipAes::macSize);
    };
    const auto unauthentic = [&shown] {
        return ProgramError(
            QStringLiteral("Falsches Passwort oder Eintrag beschädigt (Prüfcode stimmt nicht): ") +
            shown);
    };
    // Alongside the unpacking, on a thread of its own, or else before any byte is decrypted.
    std::thread authenticating;
    bool authentic = false;
    std::exception_ptr authenticationFailed;
    if (aes && authentication == Authentication::Alongside) {
        authenticating = std::thread([&] {
            try {
                authentic = authenticate();
            } catch (...) {
                authenticationFailed = std::current_exception();
            }
        });
    } else if (aes && !authenticate()) {
        throw unauthentic();
    }
    // However the unpacking ends, the entry's data counts only as authentic: a damaged or
    // forged entry is named as such, whatever its unpacking ran into first.
    const auto settleAuthentication = [&] {
        if (!authenticating.joinable())
            return;
        authenticating.join();
        if (authenticationFailed)
            std::rethrow_exception(authenticationFailed);
        if (!authentic)
            throw unauthentic();
    };
    try {
        unpackData(e, d, aes.get(), shown, sink);
    } catch (...) {
        settleAuthentication();
        throw;
    }
    settleAuthentication();
}

void ZipReader::unpackData(const ZipEntry& e, const Data& d, const WinZipAes* aes,
                           const QString& shown, const Sink& sink) {
    quint64 position = 0;
    const auto read = [&](char* into, qint64 length) {
        readAt(d.offset + position, into, length);
        if (aes)
            aes->encrypt(position, into, size_t(length)); // the counter mode is its own inverse
        position += quint64(length);
    };
    quint32 crc = 0;
    if (e.method == methodStored) {
        if (d.size != e.size)
            throw ProgramError(QStringLiteral("Eintrag beschädigt: ") + shown +
                               QStringLiteral(" (Größen passen nicht zusammen)"));
        const auto buffer = std::make_unique_for_overwrite<char[]>(size_t(copyChunk));
        while (position < d.size) {
            const qint64 n = qint64(std::min<quint64>(quint64(copyChunk), d.size - position));
            read(buffer.get(), n);
            crc = quint32(libdeflate_crc32(crc, buffer.get(), size_t(n)));
            sink(buffer.get(), n);
        }
    } else {
        if (!m_inflate)
            m_inflate = std::make_unique<ParallelInflate>(m_inflateOptions);
        crc = m_inflate->inflate(shown, d.size, e.size, read, sink).crc;
    }
    // AE-2 leaves the CRC out; the authentication code stands for it.
    if (e.aesVersion != 2 && crc != e.crc)
        throw ProgramError(QStringLiteral("Eintrag beschädigt: ") + shown +
                           QStringLiteral(" (CRC stimmt nicht)"));
}

void ZipReader::check(const ZipEntry& e, const QString& password) {
    unpack(e, password, [](const char*, qint64) {});
}

void ZipReader::extract(const ZipEntry& e, const QString& password, const Sink& sink) {
    unpack(e, password, sink);
}

void ZipReader::extract(const ZipEntry& e, const QString& password, QIODevice& out) {
    unpack(e, password, [&out](const char* data, qint64 length) {
        for (qint64 done = 0; done < length;) {
            const qint64 n = out.write(data + done, length - done);
            if (n <= 0)
                throw ProgramError(QStringLiteral("Daten können nicht geschrieben werden (") +
                                   out.errorString() + QLatin1Char(')'));
            done += n;
        }
    });
}

void ZipReader::extractTo(const ZipEntry& e, const QString& password, const QString& targetPath,
                          Existing existing) {
    const QFileInfo target(targetPath);
    const QString targetFile = target.absoluteFilePath();
    const QString exists = QStringLiteral("Zieldatei existiert bereits: ") + targetFile;
    if (existing == Existing::Keep && (target.exists() || target.isSymLink()))
        throw ProgramError(exists);
    const auto cannotWrite = [&targetFile](const QString& reason) {
        throw ProgramError(QStringLiteral("Datei kann nicht geschrieben werden: ") + targetFile +
                           QStringLiteral(" (") + reason + QLatin1Char(')'));
    };

    QTemporaryFile part(target.absolutePath() + QStringLiteral("/.") + target.fileName() +
                        QStringLiteral(".XXXXXX.part"));
    part.setAutoRemove(true);
    if (!part.open())
        cannotWrite(part.errorString());
    // A backup file goes to disk while it is unpacked, not all at once in the sync at the end.
    FileHints::WriteBehind writeBehind(part);
    // What is written goes into the temporary file, which only takes the target's name once
    // the entry is authenticated and checked: the code can be computed alongside.
    unpack(
        e, password,
        [&](const char* data, qint64 length) {
            for (qint64 done = 0; done < length;) {
                const qint64 n = part.write(data + done, length - done);
                if (n <= 0)
                    cannotWrite(part.errorString());
                done += n;
            }
            if (!writeBehind.written(length))
                cannotWrite(part.errorString());
        },
        Authentication::Alongside);
    const QString synced = DiskSync::toDisk(part);
    if (!synced.isEmpty())
        cannotWrite(synced);
    const QByteArray from = QFile::encodeName(part.fileName());
    const QByteArray to = QFile::encodeName(targetFile);
    int renamed = existing == Existing::Replace ? ::rename(from.constData(), to.constData())
                                                : ::renameat2(AT_FDCWD, from.constData(), AT_FDCWD,
                                                              to.constData(), RENAME_NOREPLACE);
    if (renamed != 0 && existing == Existing::Keep && (errno == EINVAL || errno == ENOSYS)) {
        // A file system without the no-replace rename: a new link fails the same way on an
        // existing name.
        renamed = ::link(from.constData(), to.constData());
        if (renamed == 0)
            ::unlink(from.constData());
    }
    if (renamed != 0) {
        if (errno == EEXIST)
            throw ProgramError(exists);
        cannotWrite(systemError());
    }
    part.setAutoRemove(false);
    // The new name is on disk once its folder is.
    const int folder = ::open(QFile::encodeName(target.absolutePath()).constData(),
                              O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        const bool ok = ::fsync(folder) == 0;
        ::close(folder);
        if (!ok)
            cannotWrite(systemError());
    }
}

void ZipReader::extractInto(const ZipEntry& e, const QString& password, const QString& folder,
                            Existing existing) {
    if (!e.nameProblem.isEmpty())
        throw ProgramError(QStringLiteral("Eintrag wird nicht entpackt: ") + entryName(e) +
                           QStringLiteral(" (") + e.nameProblem + QLatin1Char(')'));
    if (e.fileName.isEmpty())
        throw ProgramError(QStringLiteral("Eintrag ist ein Ordner: ") + entryName(e));
    extractTo(e, password, QDir(folder).filePath(e.fileName), existing);
}
