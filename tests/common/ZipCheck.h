#pragma once

// Helpers shared by the archive suites: other programs read our archives, and a device
// that fails after a set number of bytes stands in for a full disk.

#include <QFile>
#include <QIODevice>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <zlib.h>

namespace zipcheck {

struct Entry {
    QString name;
    qint64 size = 0;
    qint64 compressedSize = 0;
    quint32 crc = 0;
    int flags = 0;
    int method = -1;
    int system = -1;
    quint32 externalAttributes = 0;
    QList<int> dateTime; // year, month, day, hour, minute, second
    QByteArray sha256;   // of the entry's data as zipfile's zlib inflates it, in hex
};

struct Listing {
    QString error; // empty when every program accepted the archive
    QList<Entry> entries;
    QString comment;
};

// Reads the archive with Python's zipfile: every entry is decompressed and its CRC checked,
// and each local header is compared with its central directory record. Each entry's data must
// be one Deflate stream that ends exactly where the entry ends; its output is hashed.
inline const char* pythonReader = R"PY(
import hashlib, json, struct, sys, zipfile, zlib
path = sys.argv[1]

def one_stream(raw, left):
    d = zlib.decompressobj(-15)
    h = hashlib.sha256()
    pending = b''
    while True:
        if not pending and left:
            pending = raw.read(min(left, 1 << 20))
            left -= len(pending)
        out = d.decompress(pending, 1 << 24)
        pending = d.unconsumed_tail
        h.update(out)
        if d.eof or (not out and not pending and not left):
            break
    return d.eof and not d.unused_data and not pending and left == 0, h.hexdigest()

with zipfile.ZipFile(path) as z, open(path, 'rb') as raw:
    bad = z.testzip()
    entries = []
    for i in z.infolist():
        raw.seek(i.header_offset)
        h = raw.read(30)
        sig, need, flags, method, t, d, crc, csize, usize, nlen, xlen = struct.unpack('<IHHHHHIIIHH', h)
        raw.read(nlen)
        extra = raw.read(xlen)
        if csize == 0xFFFFFFFF or usize == 0xFFFFFFFF:
            tag, size = struct.unpack('<HH', extra[:4])
            usize, csize = struct.unpack('<QQ', extra[4:20]) if tag == 1 and size >= 16 else (-1, -1)
        local_ok = (sig == 0x04034b50 and crc == i.CRC and csize == i.compress_size
                    and usize == i.file_size and flags == i.flag_bits and method == i.compress_type)
        whole, digest = one_stream(raw, i.compress_size)
        entries.append({'name': i.filename, 'size': i.file_size, 'csize': i.compress_size,
                        'crc': i.CRC, 'flags': i.flag_bits, 'method': i.compress_type,
                        'system': i.create_system, 'attr': i.external_attr,
                        'time': list(i.date_time), 'localOk': local_ok,
                        'oneStream': whole, 'sha256': digest})
    print(json.dumps({'bad': bad, 'comment': z.comment.hex(), 'entries': entries}))
)PY";

inline QString run(const QString& program, const QStringList& args, QByteArray* out = nullptr) {
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    if (!p.waitForStarted(10000))
        return program + QStringLiteral(" did not start");
    p.waitForFinished(-1);
    const QByteArray output = p.readAll();
    if (out)
        *out = output;
    if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        return program + QStringLiteral(" rejected the archive:\n") + QString::fromUtf8(output);
    return {};
}

// unzip -t, 7z t and Python's zipfile must all accept the archive.
inline Listing check(const QString& archive, bool with7z = true) {
    Listing listing;
    listing.error = run(QStringLiteral("unzip"), {QStringLiteral("-tqq"), archive});
    if (listing.error.isEmpty() && with7z)
        listing.error =
            run(QStringLiteral("7z"), {QStringLiteral("t"), QStringLiteral("-bd"), archive});
    if (!listing.error.isEmpty())
        return listing;
    QByteArray json;
    listing.error = run(QStringLiteral("/usr/bin/python3"),
                        {QStringLiteral("-c"), QString::fromUtf8(pythonReader), archive}, &json);
    if (!listing.error.isEmpty())
        return listing;
    const QJsonObject root = QJsonDocument::fromJson(json).object();
    if (!root.value(QStringLiteral("bad")).isNull())
        listing.error =
            QStringLiteral("zipfile: bad CRC in ") + root.value(QStringLiteral("bad")).toString();
    listing.comment = root.value(QStringLiteral("comment")).toString();
    const QJsonArray entries = root.value(QStringLiteral("entries")).toArray();
    for (const QJsonValue& v : entries) {
        const QJsonObject o = v.toObject();
        Entry e;
        e.name = o.value(QStringLiteral("name")).toString();
        e.size = qint64(o.value(QStringLiteral("size")).toDouble());
        e.compressedSize = qint64(o.value(QStringLiteral("csize")).toDouble());
        e.crc = quint32(o.value(QStringLiteral("crc")).toDouble());
        e.flags = o.value(QStringLiteral("flags")).toInt();
        e.method = o.value(QStringLiteral("method")).toInt();
        e.system = o.value(QStringLiteral("system")).toInt();
        e.externalAttributes = quint32(o.value(QStringLiteral("attr")).toDouble());
        const QJsonArray t = o.value(QStringLiteral("time")).toArray();
        for (const QJsonValue& part : t)
            e.dateTime.append(part.toInt());
        e.sha256 = o.value(QStringLiteral("sha256")).toString().toLatin1();
        if (!o.value(QStringLiteral("localOk")).toBool())
            listing.error = QStringLiteral("local header differs from central record: ") + e.name;
        if (!o.value(QStringLiteral("oneStream")).toBool())
            listing.error =
                QStringLiteral("not one Deflate stream ending with the entry: ") + e.name;
        listing.entries.append(e);
    }
    if (json.isEmpty() || root.isEmpty())
        listing.error = QStringLiteral("zipfile gave no listing");
    return listing;
}

// 7-Zip reads an encrypted archive with the password: `7z t` decrypts every entry, checks its
// authentication code and inflates it. The password travels in UTF-8, as 7-Zip takes it.
inline QString testEncrypted(const QString& archive, const QString& password) {
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    p.setProcessEnvironment(env);
    p.start(QStringLiteral("7z"),
            {QStringLiteral("t"), QStringLiteral("-bd"), QStringLiteral("-p") + password, archive});
    if (!p.waitForStarted(10000))
        return QStringLiteral("7z did not start");
    p.waitForFinished(-1);
    const QByteArray output = p.readAll();
    if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        return QStringLiteral("7z rejected the archive:\n") + QString::fromUtf8(output);
    return {};
}

// One entry's data as 7-Zip decrypts and inflates it, in a file beside the archive.
inline QString extractEncrypted(const QString& archive, const QString& password,
                                const QString& entry, const QString& into) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    p.setProcessEnvironment(env);
    p.setStandardOutputFile(into);
    p.start(QStringLiteral("7z"), {QStringLiteral("x"), QStringLiteral("-so"),
                                   QStringLiteral("-p") + password, archive, entry});
    if (!p.waitForStarted(10000))
        return QStringLiteral("7z did not start");
    p.waitForFinished(-1);
    if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        return QStringLiteral("7z could not extract ") + entry + QStringLiteral(":\n") +
               QString::fromUtf8(p.readAllStandardError());
    return {};
}

// What `7z l -slt` says of each entry, as "name|method|encrypted" ("+" or "-").
inline QStringList encryptionListing(const QString& archive) {
    QByteArray out;
    if (!run(QStringLiteral("7z"), {QStringLiteral("l"), QStringLiteral("-slt"), archive}, &out)
             .isEmpty())
        return {QStringLiteral("7z could not list the archive")};
    QStringList result;
    QString name, method, encrypted;
    bool entries = false; // the archive's own block comes first
    const auto flush = [&] {
        if (!name.isEmpty())
            result.append(name + QLatin1Char('|') + method + QLatin1Char('|') + encrypted);
        name.clear();
    };
    for (const QByteArray& raw : out.split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.startsWith(QLatin1String("----------")))
            entries = true;
        else if (!entries)
            continue;
        else if (line.startsWith(QLatin1String("Path = ")))
            flush(), name = line.mid(7);
        else if (line.startsWith(QLatin1String("Method = ")))
            method = line.mid(9);
        else if (line.startsWith(QLatin1String("Encrypted = ")))
            encrypted = line.mid(12);
    }
    flush();
    return result;
}

inline QStringList names(const Listing& listing) {
    QStringList result;
    for (const Entry& e : listing.entries)
        result.append(e.name);
    return result;
}

inline quint32 fileCrc(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    uLong crc = crc32(0, nullptr, 0);
    QByteArray chunk;
    while (!(chunk = f.read(1 << 20)).isEmpty())
        crc = crc32_z(crc, reinterpret_cast<const Bytef*>(chunk.constData()), size_t(chunk.size()));
    return quint32(crc);
}

} // namespace zipcheck
