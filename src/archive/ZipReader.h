#pragma once

#include "archive/ParallelInflate.h"

#include <QIODevice>
#include <QString>
#include <QtGlobal>

#include <functional>
#include <memory>
#include <vector>

class WinZipAes;

// One entry of an archive as its central directory describes it.
struct ZipEntry {
    QString name;        // as stored (UTF-8, or Latin-1 when the bytes are no UTF-8)
    QString fileName;    // the bare file name, the part after the last '/'; empty when the name is
                         // unsafe (see nameProblem) or names a folder
    QString nameProblem; // why the name may not be used for a file, in German; empty when safe
    quint64 size = 0;
    quint64 compressedSize = 0; // as stored, the encryption's salt, verifier and code included
    quint16 method = 0;         // the real method: 0 stored, 8 Deflate (also under AES)
    bool encrypted = false;
    int aesStrength = 0; // 1, 2, 3 for AES-128, -192, -256; 0 when not AES
    int aesVersion = 0;  // 1 (AE-1: the CRC is checked too) or 2 (AE-2); 0 when not AES
    quint32 crc = 0;
    quint16 flags = 0;
    quint64 headerOffset = 0; // of the local header
};

// Reads a ZIP archive: the program's own and any other writer's. Stored and Deflate entries,
// ZIP64, WinZip AES (128, 192 and 256 bits; AE-1 and AE-2). An entry's data is checked as it is
// read: its CRC-32 (not kept by AE-2), and for an AES entry first the password verifier, then
// the authentication code over all of its encrypted data in a pass of its own, before any
// byte is decrypted, inflated or handed on; extractTo, whose temporary file takes the target's
// name only when the entry is authentic, computes the code on a thread of its own alongside.
// Deflate data is inflated on every core where the stream lets it (ParallelInflate), which the
// program's own archives do, serially otherwise.
// Entry names other than UTF-8 are taken as Latin-1. One thread at a time.
//
// The archive is read through a descriptor opened without following a link. Nothing a damaged
// or hostile archive says is trusted: every offset and size is checked against the file before
// it is used. Every failure throws ProgramError with a German message naming its cause.
class ZipReader {
public:
    // What extractTo does with a file already at the target path.
    enum class Existing { Keep, Replace };
    // Hands on a piece of an entry's data; throws when it cannot.
    using Sink = std::function<void(const char* data, qint64 length)>;

    // Opens the archive and reads its central directory. Throws when the file cannot be
    // opened, is a link, or is no readable ZIP archive (cut, damaged, several volumes).
    explicit ZipReader(const QString& path, InflateOptions inflate = InflateOptions());
    ~ZipReader();
    ZipReader(const ZipReader&) = delete;
    ZipReader& operator=(const ZipReader&) = delete;

    const QString& path() const { return m_path; }
    const std::vector<ZipEntry>& entries() const { return m_entries; }
    // The entry stored under `name`, or else the first whose bare file name is `name`; throws
    // when there is none.
    const ZipEntry& entry(const QString& name) const;

    // Reads all of the entry's data and checks it (password, authentication code, Deflate data,
    // size, CRC); writes nothing.
    void check(const ZipEntry& e, const QString& password = QString());
    // Hands the entry's data in order to `sink`. An AES entry is authenticated before its first
    // byte; the CRC can only be compared at the end, so on a throw the caller discards what the
    // sink got.
    void extract(const ZipEntry& e, const QString& password, QIODevice& sink);
    void extract(const ZipEntry& e, const QString& password, const Sink& sink);
    // Writes the entry's data to `targetPath` under a temporary name in the same folder, syncs
    // it and renames it to the target only when whole and checked. An existing file (or link)
    // at the target is kept and the call fails, unless `existing` is Replace. On any failure
    // the temporary file is removed.
    void extractTo(const ZipEntry& e, const QString& password, const QString& targetPath,
                   Existing existing = Existing::Keep);
    // extractTo into `folder` under the entry's bare file name; refuses an unsafe name.
    void extractInto(const ZipEntry& e, const QString& password, const QString& folder,
                     Existing existing = Existing::Keep);

private:
    struct Data;
    // When an AES entry's authentication code is computed: before its first byte is decrypted,
    // or alongside the unpacking, for a sink whose bytes count only once the call succeeded.
    enum class Authentication { Before, Alongside };

    void readAt(quint64 offset, char* into, qint64 length) const;
    void readDirectory();
    Data locateData(const ZipEntry& e) const;
    void unpack(const ZipEntry& e, const QString& password, const Sink& sink,
                Authentication authentication = Authentication::Before);
    void unpackData(const ZipEntry& e, const Data& d, const WinZipAes* aes, const QString& shown,
                    const Sink& sink);
    [[noreturn]] void broken(const QString& reason) const;
    QString entryName(const ZipEntry& e) const;

    QString m_path;
    int m_fd = -1;
    quint64 m_fileSize = 0;
    quint64 m_directoryOffset = 0; // entries' data lies before it
    InflateOptions m_inflateOptions;
    std::unique_ptr<ParallelInflate> m_inflate; // started with the first Deflate entry
    std::vector<ZipEntry> m_entries;
};
