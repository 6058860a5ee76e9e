#include "ArchiveInto.h"
#include "TempFolder.h"
#include "ZipCheck.h"
#include "archive/ParallelDeflate.h"
#include "archive/ParallelInflate.h"
#include "archive/ZipReader.h"
#include "platform/ProgramError.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QtTest>

#include <zlib.h>

// The reader unpacks what the program's writer and other programs write, inflating the
// program's own streams on several threads, and refuses damaged, cut or hostile archives
// without leaving a file behind.

namespace {

const QString password = QStringLiteral("Wüste-Lager 7!");

// Rows of a table (compress well) and noise (stored as it is) in turn.
QByteArray content(qint64 size, quint32 seed) {
    QByteArray data;
    data.reserve(size);
    QRandomGenerator rng(seed);
    for (int run = 0; data.size() < size; ++run) {
        const int length = int(rng.bounded(300, 5000));
        if (run % 2) {
            for (int i = 0; i < length; ++i)
                data.append(char(rng.generate() & 0xFF));
        } else {
            for (const qsizetype end = data.size() + length; data.size() < end;)
                data += QByteArray("Kunde ") + QByteArray::number(rng.bounded(100000)) +
                        ";Müller;2026-03-" + QByteArray::number(1 + rng.bounded(28)) + "\n";
        }
    }
    data.truncate(size);
    return data;
}

QByteArray noise(qsizetype size, quint32 seed) {
    QByteArray data(size, Qt::Uninitialized);
    QRandomGenerator rng(seed);
    for (char& c : data)
        c = char(rng.generate() & 0xFF);
    return data;
}

bool writeFile(const QString& path, const QByteArray& data) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

QByteArray fileBytes(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// The program's stream: ParallelDeflate's pieces.
QByteArray programStream(const QByteArray& data, qint64 blockSize) {
    DeflateOptions options;
    options.threads = 2;
    options.blockSize = blockSize;
    ParallelDeflate deflate(options);
    QByteArray out;
    qint64 at = 0;
    deflate.deflate(
        QStringLiteral("test"), quint64(data.size()),
        [&](char* into, qint64 length) {
            std::memcpy(into, data.constData() + at, size_t(length));
            at += length;
        },
        [&](const char* p, qint64 length) { out.append(p, length); });
    return out;
}

// zlib's raw stream at `level`, flushed with `flush` after every `every` input bytes.
QByteArray zlibStream(const QByteArray& data, int level, int flush = Z_NO_FLUSH,
                      qsizetype every = 0) {
    z_stream z{};
    deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    QByteArray out(qsizetype(deflateBound(&z, uLong(data.size())) + data.size() / 100 + 1024),
                   Qt::Uninitialized);
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = uInt(out.size());
    const qsizetype step = every > 0 ? every : data.size();
    for (qsizetype at = 0; at < data.size() || at == 0; at += step) {
        const qsizetype n = std::min(step, data.size() - at);
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.constData() + at));
        z.avail_in = uInt(n);
        const bool last = at + n >= data.size();
        deflate(&z, last ? Z_FINISH : flush);
        if (last)
            break;
    }
    out.truncate(qsizetype(z.total_out));
    deflateEnd(&z);
    return out;
}

ParallelInflate::Result inflateAll(const QByteArray& stream, quint64 size, QByteArray& out,
                                   int threads = 2) {
    InflateOptions options;
    options.threads = threads;
    ParallelInflate inflater(options);
    qint64 at = 0;
    return inflater.inflate(
        QStringLiteral("Lager.BAK"), quint64(stream.size()), size,
        [&](char* into, qint64 length) {
            std::memcpy(into, stream.constData() + at, size_t(length));
            at += length;
        },
        [&](const char* p, qint64 length) { out.append(p, length); });
}

QString run(const QString& program, const QStringList& args, const QString& folder = {}) {
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    if (!folder.isEmpty())
        p.setWorkingDirectory(folder);
    // 7-Zip takes a password beyond ASCII only in a UTF-8 locale.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    p.setProcessEnvironment(env);
    p.start(program, args);
    if (!p.waitForStarted(10000))
        return program + QStringLiteral(" did not start");
    p.waitForFinished(-1);
    if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        return program + QStringLiteral(" failed:\n") + QString::fromUtf8(p.readAll());
    return {};
}

// Writes an archive of `files` (names relative to `folder`) with Python's zipfile; `how` is
// "stored", "deflated", "zip64" (Deflate with ZIP64 local headers) or "comment" (Deflate, with
// a comment that begins like an empty archive's end record). `names` may store the
// files under other names.
const char* pythonWriter = R"PY(
import sys, zipfile
out, how, folder = sys.argv[1], sys.argv[2], sys.argv[3]
pairs = sys.argv[4:]
method = zipfile.ZIP_STORED if how == 'stored' else zipfile.ZIP_DEFLATED
with zipfile.ZipFile(out, 'w', method) as z:
    for i in range(0, len(pairs), 2):
        data = open(folder + '/' + pairs[i], 'rb').read()
        info = zipfile.ZipInfo(pairs[i + 1], (2026, 3, 1, 0, 0, 0))
        info.compress_type = method
        with z.open(info, 'w', force_zip64=(how == 'zip64')) as w:
            w.write(data)
    if how == 'comment':
        z.comment = b'PK\x05\x06' + bytes(18) + b'Kommentar'
)PY";

QString pythonZip(const QString& zip, const QString& how, const QString& folder,
                  const QStringList& files, QStringList names = {}) {
    if (names.isEmpty())
        names = files;
    QStringList args{QStringLiteral("-c"), QString::fromUtf8(pythonWriter), zip, how, folder};
    for (qsizetype i = 0; i < files.size(); ++i)
        args << files[i] << names[i];
    return run(QStringLiteral("/usr/bin/python3"), args);
}

// Where the first central header, and the end record, lie.
qsizetype firstCentralHeader(const QByteArray& zip) {
    return zip.indexOf(QByteArray("PK\x01\x02", 4));
}
qsizetype endRecord(const QByteArray& zip) {
    return zip.lastIndexOf(QByteArray("PK\x05\x06", 4));
}
void put32(QByteArray& b, qsizetype at, quint32 v) {
    for (int i = 0; i < 4; ++i)
        b[at + i] = char((v >> (8 * i)) & 0xFF);
}
void put16(QByteArray& b, qsizetype at, quint16 v) {
    b[at] = char(v & 0xFF);
    b[at + 1] = char(v >> 8);
}

// Turns the program's AE-2 entries into AE-1 entries, which carry the CRC as well: the
// vendor version 1 in every AES extra field, and each entry's CRC (of `contents`, in the order
// of the central directory) in its local and central header.
void makeAe1(QByteArray& zip, const QList<QByteArray>& contents) {
    zip.replace(QByteArray("\x01\x99\x07\x00\x02\x00"
                           "AE",
                           8),
                QByteArray("\x01\x99\x07\x00\x01\x00"
                           "AE",
                           8));
    qsizetype central = firstCentralHeader(zip);
    for (const QByteArray& c : contents) {
        const auto u = [&zip](qsizetype at) { return quint8(zip[at]); };
        const quint32 crc =
            quint32(crc32_z(0, reinterpret_cast<const Bytef*>(c.constData()), size_t(c.size())));
        const qsizetype local = qsizetype(u(central + 42) | u(central + 43) << 8 |
                                          u(central + 44) << 16 | quint32(u(central + 45)) << 24);
        put32(zip, central + 16, crc);
        put32(zip, local + 14, crc);
        central += 46 + (u(central + 28) | u(central + 29) << 8) +
                   (u(central + 30) | u(central + 31) << 8) +
                   (u(central + 32) | u(central + 33) << 8);
    }
}

QStringList folderContent(const QString& folder) {
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System |
                                  QDir::NoDotAndDotDot);
}

} // namespace

class TestZipReader : public QObject {
    Q_OBJECT

private slots:
    void inflatesEveryStream_data();
    void inflatesEveryStream();
    void damagedStreamIsRefused_data();
    void damagedStreamIsRefused();
    void readsEveryWritersArchives_data();
    void readsEveryWritersArchives();
    void refusesBadArchives_data();
    void refusesBadArchives();
    void targetIsKeptUnlessReplaceIsAsked();
    void linkInPlaceOfTheArchiveIsRefused();
};

enum class Parallel { All, Some, Whole, Any };
Q_DECLARE_METATYPE(Parallel)

void TestZipReader::inflatesEveryStream_data() {
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<Parallel>("parallel");

    const QByteArray mixed = content(600 * 1024, 7);
    QTest::newRow("program's pieces") << mixed << programStream(mixed, 16 * 1024) << Parallel::All;
    // Each piece compresses to far less than a job's least input: several pieces make a job.
    const QByteArray zeros(5 * 1024 * 1024 + 17, '\0');
    QTest::newRow("program's pieces of zeros")
        << zeros << programStream(zeros, 1 << 20) << Parallel::All;
    QTest::newRow("program's empty stream")
        << QByteArray() << programStream({}, 1 << 20) << Parallel::Any;
    // No cut at all: one job, the whole stream.
    QTest::newRow("one stream of another writer")
        << mixed << zlibStream(mixed, 6) << Parallel::Whole;
    // A full flush forgets the history: the parts are as independent as the program's pieces.
    QTest::newRow("full flushes") << mixed << zlibStream(mixed, 6, Z_FULL_FLUSH, 32 * 1024)
                                  << Parallel::Some;
    // A sync flush keeps it: matches reach back over the cut, and a worker cannot know the bytes
    // they copy. The calling thread inflates those jobs with the history.
    const QByteArray table = content(600 * 1024, 8).replace(char(0xFF), 'x');
    QTest::newRow("sync flushes, matches across")
        << table << zlibStream(table, 6, Z_SYNC_FLUSH, 16 * 1024) << Parallel::Any;
    // The end of an empty stored block stands inside stored data again and again: false cuts.
    QByteArray marks = noise(300 * 1024, 9);
    for (qsizetype at = 1000; at + 4 < marks.size(); at += 3001)
        marks.replace(at, 4, QByteArray("\0\0\xFF\xFF", 4));
    QTest::newRow("marks inside stored data") << marks << zlibStream(marks, 0) << Parallel::Any;
    // Stored data that holds the program's pieces: a job begun at a false cut inflates soundly
    // on its worker and must still not be taken while the stream stands inside a stored block.
    const QByteArray nested =
        noise(3000, 10) + programStream(content(300 * 1024, 12), 16 * 1024) + noise(1000, 13);
    QTest::newRow("program's pieces inside stored data")
        << nested << zlibStream(nested, 0) << Parallel::Any;
    QTest::newRow("marks inside the program's pieces")
        << marks << programStream(marks, 64 * 1024) << Parallel::Any;
}

void TestZipReader::inflatesEveryStream() {
    QFETCH(QByteArray, data);
    QFETCH(QByteArray, stream);
    QFETCH(Parallel, parallel);

    for (const int threads : {1, 2, 3}) {
        QByteArray out;
        ParallelInflate::Result r;
        try {
            r = inflateAll(stream, quint64(data.size()), out, threads);
        } catch (const ProgramError& e) {
            QFAIL(qPrintable(e.message()));
        }
        QVERIFY(out == data);
        QCOMPARE(r.size, quint64(data.size()));
        QCOMPARE(r.crc, quint32(crc32_z(0, reinterpret_cast<const Bytef*>(data.constData()),
                                        size_t(data.size()))));
        switch (parallel) {
        case Parallel::All:
            QCOMPARE(r.parallel, r.jobs);
            QVERIFY(r.jobs > 1);
            break;
        case Parallel::Some:
            QVERIFY(r.parallel > 1);
            break;
        case Parallel::Whole:
            QCOMPARE(r.jobs, quint64(1));
            break;
        case Parallel::Any:
            break;
        }
    }
}

void TestZipReader::damagedStreamIsRefused_data() {
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QString>("reason");

    const QByteArray data = content(300 * 1024, 11);
    const qint64 size = data.size();
    const QByteArray ours = programStream(data, 16 * 1024);
    const QByteArray theirs = zlibStream(data, 6);
    QTest::newRow("program's stream cut")
        << ours.left(ours.size() / 2) << size << QStringLiteral("Deflate-Daten enden vorzeitig");
    QTest::newRow("other stream cut") << theirs.left(theirs.size() / 2) << size
                                      << QStringLiteral("Deflate-Daten enden vorzeitig");
    QTest::newRow("program's stream, last byte missing")
        << ours.chopped(1) << size << QStringLiteral("Deflate-Daten enden vorzeitig");
    QTest::newRow("more bytes than said")
        << ours << size - 1 << QStringLiteral("mehr Daten als angegeben");
    QTest::newRow("fewer bytes than said")
        << ours << size + 1 << QStringLiteral("weniger Daten als angegeben");
    QByteArray invalid = ours;
    invalid[0] = char(0x07); // a final block of the reserved type
    QTest::newRow("invalid block type")
        << invalid << size << QStringLiteral("Deflate-Daten fehlerhaft");
}

void TestZipReader::damagedStreamIsRefused() {
    QFETCH(QByteArray, stream);
    QFETCH(qint64, size);
    QFETCH(QString, reason);

    QByteArray out;
    try {
        inflateAll(stream, quint64(size), out);
        QFAIL("accepted");
    } catch (const ProgramError& e) {
        QCOMPARE(e.message(),
                 QStringLiteral("Eintrag beschädigt: Lager.BAK (") + reason + QLatin1Char(')'));
    }
    QVERIFY(out.size() <= size);
}

void TestZipReader::readsEveryWritersArchives_data() {
    QTest::addColumn<QString>("writer");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QList<qint64>>("sizes");
    QTest::addColumn<qint64>("blockSize"); // the program's writer only; 0: its own

    const QList<qint64> backupAndLog{700 * 1024 + 5, 70000};
    QTest::newRow("program") << "program" << QString() << backupAndLog << qint64(0);
    QTest::newRow("program, many pieces")
        << "program" << QString() << backupAndLog << qint64(8 * 1024);
    QTest::newRow("program, empty file")
        << "program" << QString() << QList<qint64>{0, 1} << qint64(0);
    QTest::newRow("program, AES") << "program" << password << backupAndLog << qint64(0);
    QTest::newRow("program, AES, many pieces")
        << "program" << password << backupAndLog << qint64(8 * 1024);
    QTest::newRow("program, AES, empty file")
        << "program" << password << QList<qint64>{0} << qint64(0);
    QTest::newRow("program, AES, as AE-1")
        << "program-ae1" << password << backupAndLog << qint64(8 * 1024);
    QTest::newRow("program, ZIP64")
        << "program-zip64" << QString() << backupAndLog << qint64(8 * 1024);
    QTest::newRow("program, ZIP64, AES")
        << "program-zip64" << password << backupAndLog << qint64(0);
    QTest::newRow("zip") << "zip" << QString() << QList<qint64>{700 * 1024 + 5, 0, 3} << qint64(0);
    QTest::newRow("zipfile, stored") << "stored" << QString() << backupAndLog << qint64(0);
    QTest::newRow("zipfile, Deflate") << "deflated" << QString() << backupAndLog << qint64(0);
    QTest::newRow("zipfile, end record in the comment")
        << "comment" << QString() << backupAndLog << qint64(0);
    QTest::newRow("zipfile, ZIP64") << "zip64" << QString() << backupAndLog << qint64(0);
    // 7-Zip writes AES entries only with a password in ASCII.
    QTest::newRow("7z, AES-256") << "7z" << QStringLiteral("Lager-Kennwort 7!")
                                 << QList<qint64>{700 * 1024 + 5, 0, 40} << qint64(0);
    QTest::newRow("7z, AES-192") << "7z-192" << QStringLiteral("Lager-Kennwort 7!")
                                 << QList<qint64>{70000, 15} << qint64(0);
    QTest::newRow("7z, AES-128") << "7z-128" << QStringLiteral("Lager-Kennwort 7!")
                                 << QList<qint64>{70000, 15} << qint64(0);
}

void TestZipReader::readsEveryWritersArchives() {
    QFETCH(QString, writer);
    QFETCH(QString, password);
    QFETCH(QList<qint64>, sizes);
    QFETCH(qint64, blockSize);

    TempFolder dir;
    const QString in = dir.file(QStringLiteral("in"));
    const QString out = dir.file(QStringLiteral("out"));
    QVERIFY(QDir().mkpath(in) && QDir().mkpath(out));
    QStringList names;
    QStringList paths;
    QList<QByteArray> contents;
    for (qsizetype i = 0; i < sizes.size(); ++i) {
        contents.append(content(sizes[i], quint32(i + 21)));
        names.append(QStringLiteral("Lager%1.BAK").arg(i));
        paths.append(in + QLatin1Char('/') + names.last());
        QVERIFY(writeFile(paths.last(), contents.last()));
    }
    const QString zip = dir.file(QStringLiteral("Lager3.ZIP"));
    const int aesBits = writer.endsWith(QLatin1String("128"))   ? 128
                        : writer.endsWith(QLatin1String("192")) ? 192
                                                                : 256;
    QString failure;
    if (writer.startsWith(QLatin1String("program"))) {
        DeflateOptions options;
        if (blockSize > 0)
            options.blockSize = blockSize;
        ZipLimits limits;
        if (writer == QLatin1String("program-zip64"))
            limits = ZipLimits{1, 1}; // every size, offset and count in the ZIP64 records
        failure = archiveInto(zip, paths, password, limits, options);
        if (writer == QLatin1String("program-ae1")) {
            QByteArray bytes = fileBytes(zip);
            makeAe1(bytes, contents);
            QVERIFY(writeFile(zip, bytes));
        }
    } else if (writer == QLatin1String("zip")) {
        failure = run(QStringLiteral("zip"), QStringList{QStringLiteral("-q"), zip} + names, in);
    } else if (writer.startsWith(QLatin1String("7z"))) {
        failure =
            run(QStringLiteral("7z"),
                QStringList{QStringLiteral("a"), QStringLiteral("-bd"), QStringLiteral("-tzip"),
                            QStringLiteral("-mem=AES") + QString::number(aesBits),
                            QStringLiteral("-p") + password, zip} +
                    names,
                in);
    } else {
        failure = pythonZip(zip, writer, in, names);
    }
    QVERIFY2(failure.isEmpty(), qPrintable(failure));

    try {
        ZipReader reader(zip);
        QCOMPARE(qsizetype(reader.entries().size()), sizes.size());
        for (qsizetype i = 0; i < sizes.size(); ++i) {
            const ZipEntry& e = reader.entry(names[i]);
            QCOMPARE(e.fileName, names[i]);
            QCOMPARE(e.size, quint64(sizes[i]));
            QCOMPARE(e.encrypted, !password.isEmpty());
            QCOMPARE(e.aesStrength, password.isEmpty() ? 0 : aesBits / 64 - 1);
            QCOMPARE(e.aesVersion, password.isEmpty()                      ? 0
                                   : writer.endsWith(QLatin1String("ae1")) ? 1
                                                                           : 2);
            reader.check(e, password);
            reader.extractInto(e, password, out);
            QVERIFY(fileBytes(out + QLatin1Char('/') + names[i]) == contents[i]);
            QBuffer buffer;
            buffer.open(QIODevice::WriteOnly);
            reader.extract(e, password, buffer);
            QVERIFY(buffer.data() == contents[i]);
        }
    } catch (const ProgramError& e) {
        QFAIL(qPrintable(e.message()));
    }
    // Nothing but the files themselves: no temporary file left beside them.
    names.sort();
    QCOMPARE(folderContent(out), names);
}

enum class Fault {
    CutInData,
    CutInDirectory,
    CutInEndRecord,
    DirectoryPastTheEnd,
    EntryPastItsEnd,
    Zip64Missing,
    FlippedByteEarly,
    FlippedByte,
    Ae1WrongCrc,
    AesStrength4,
    TraditionalEncryption,
    LocalHeaderMissing,
    WrongPassword,
    NoPassword,
    UnsupportedMethod,
    NulInName,
    None,
};
Q_DECLARE_METATYPE(Fault)

void TestZipReader::refusesBadArchives_data() {
    QTest::addColumn<QString>("writer"); // "program", or "deflated": zipfile, for odd names
    QTest::addColumn<QString>("storedName");
    QTest::addColumn<QString>("password");
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<QString>("message"); // a part of it

    const QString name = QStringLiteral("Lager.BAK");
    const QString cut = QStringLiteral("ZIP-Datei beschädigt oder abgeschnitten: ");
    QTest::newRow("cut in the data")
        << "program" << name << QString() << Fault::CutInData
        << cut + QStringLiteral("%1 (Ende des Inhaltsverzeichnisses fehlt)");
    QTest::newRow("cut in the directory")
        << "program" << name << QString() << Fault::CutInDirectory
        << cut + QStringLiteral("%1 (Ende des Inhaltsverzeichnisses fehlt)");
    QTest::newRow("cut in the end record")
        << "program" << name << QString() << Fault::CutInEndRecord
        << cut + QStringLiteral("%1 (Ende des Inhaltsverzeichnisses fehlt)");
    QTest::newRow("directory past the end")
        << "program" << name << QString() << Fault::DirectoryPastTheEnd
        << cut + QStringLiteral("%1 (Inhaltsverzeichnis zeigt hinter das Ende)");
    QTest::newRow("entry past its end")
        << "program" << name << QString() << Fault::EntryPastItsEnd
        << cut + QStringLiteral("%1 (Daten des Eintrags reichen hinter sein Ende: Lager.BAK)");
    QTest::newRow("ZIP64 sizes missing")
        << "program" << name << QString() << Fault::Zip64Missing
        << cut + QStringLiteral("%1 (ZIP64-Angaben fehlen für Lager.BAK)");
    QTest::newRow("flipped byte") << "program" << name << QString() << Fault::FlippedByte
                                  << QStringLiteral("Eintrag beschädigt: Lager.BAK in %1 (");
    QTest::newRow("flipped byte, AES")
        << "program" << name << password << Fault::FlippedByte
        << QStringLiteral("Falsches Passwort oder Eintrag beschädigt (Prüfcode stimmt nicht): "
                          "Lager.BAK in %1");
    // In the compressed rows at the start: the inflating stumbles long before the code is
    // known, and still the entry is named as not authentic.
    QTest::newRow("flipped byte in the Deflate data, AES")
        << "program" << name << password << Fault::FlippedByteEarly
        << QStringLiteral("Falsches Passwort oder Eintrag beschädigt (Prüfcode stimmt nicht): "
                          "Lager.BAK in %1");
    // AE-1 keeps the CRC; a wrong one is caught even though the authentication code is sound.
    QTest::newRow("AE-1, wrong CRC")
        << "program" << name << password << Fault::Ae1WrongCrc
        << QStringLiteral("Eintrag beschädigt: Lager.BAK in %1 (CRC stimmt nicht)");
    QTest::newRow("AES of strength 4")
        << "program" << name << password << Fault::AesStrength4
        << QStringLiteral("AES-Verschlüsselung in dieser Form nicht unterstützt: Lager.BAK in %1");
    QTest::newRow("traditional encryption")
        << "program" << name << QString() << Fault::TraditionalEncryption
        << QStringLiteral("Verschlüsselung nicht unterstützt: Lager.BAK in %1");
    QTest::newRow("local header missing")
        << "program" << name << QString() << Fault::LocalHeaderMissing
        << cut + QStringLiteral("%1 (Kopf des Eintrags fehlt: Lager.BAK)");
    QTest::newRow("wrong password") << "program" << name << password << Fault::WrongPassword
                                    << QStringLiteral("Falsches Passwort für Lager.BAK in %1");
    QTest::newRow("no password") << "program" << name << password << Fault::NoPassword
                                 << QStringLiteral("Passwort fehlt für verschlüsselten Eintrag: "
                                                   "Lager.BAK in %1");
    QTest::newRow("unsupported method")
        << "program" << name << QString() << Fault::UnsupportedMethod
        << QStringLiteral("Komprimierungsmethode 12 nicht unterstützt: Lager.BAK in %1");
    const QString refused = QStringLiteral("Eintrag wird nicht entpackt: ");
    QTest::newRow("name reaching up")
        << "deflated"
        << "../Lager.BAK" << QString() << Fault::None
        << refused + QStringLiteral("../Lager.BAK in %1 (Name reicht aus dem Zielordner hinaus)");
    QTest::newRow("name reaching up inside")
        << "deflated"
        << "x/../../Lager.BAK" << QString() << Fault::None
        << refused +
               QStringLiteral("x/../../Lager.BAK in %1 (Name reicht aus dem Zielordner hinaus)");
    QTest::newRow("absolute name")
        << "deflated"
        << "/tmp/Lager.BAK" << QString() << Fault::None
        << refused + QStringLiteral("/tmp/Lager.BAK in %1 (absoluter Pfad)");
    QTest::newRow("drive letter") << "deflated"
                                  << "C:Lager.BAK" << QString() << Fault::None
                                  << refused + QStringLiteral("C:Lager.BAK in %1 (absoluter Pfad)");
    QTest::newRow("backslash")
        << "deflated"
        << "..\\Lager.BAK" << QString() << Fault::None
        << refused +
               QStringLiteral("..\\Lager.BAK in %1 (Name enthält einen umgekehrten Schrägstrich)");
    QTest::newRow("NUL in the name")
        << "deflated"
        << "Lager_BAK" << QString() << Fault::NulInName << refused + QStringLiteral("Lager");
    QTest::newRow("folder") << "deflated"
                            << "Lager/" << QString() << Fault::None
                            << QStringLiteral("Eintrag ist ein Ordner: Lager/ in %1");
}

void TestZipReader::refusesBadArchives() {
    QFETCH(QString, writer);
    QFETCH(QString, storedName);
    QFETCH(QString, password);
    QFETCH(Fault, fault);
    QFETCH(QString, message);

    TempFolder dir;
    const QString out = dir.file(QStringLiteral("out"));
    QVERIFY(QDir().mkpath(out));
    // Noise is stored by the program's writer: a flipped byte in it still inflates, and only
    // the CRC or the authentication code tells.
    const QByteArray data = content(200 * 1024, 3) + noise(100 * 1024, 4);
    const QString file = dir.file(QStringLiteral("Lager.BAK"));
    QVERIFY(writeFile(file, data));
    const QString zip = dir.file(QStringLiteral("Lager3.ZIP"));
    const QString failure =
        writer == QLatin1String("program")
            ? archiveInto(zip, {file}, password)
            : pythonZip(zip, writer, dir.path(), {QStringLiteral("Lager.BAK")}, {storedName});
    QVERIFY2(failure.isEmpty(), qPrintable(failure));

    QByteArray bytes = fileBytes(zip);
    const qsizetype central = firstCentralHeader(bytes);
    const qsizetype end = endRecord(bytes);
    QVERIFY(central > 0 && end > central);
    QString usedPassword = password;
    switch (fault) {
    case Fault::CutInData:
        bytes.truncate(central / 2);
        break;
    case Fault::CutInDirectory:
        bytes.truncate(central + 20);
        break;
    case Fault::CutInEndRecord:
        bytes.chop(5);
        break;
    case Fault::DirectoryPastTheEnd:
        put32(bytes, end + 16, 0x7FFFFFF0);
        break;
    case Fault::EntryPastItsEnd:
        put32(bytes, central + 20, 0x7FFFFFF0);
        break;
    case Fault::Zip64Missing:
        put32(bytes, central + 20, 0xFFFFFFFF);
        break;
    case Fault::FlippedByte: // in the noise
        bytes[central - 30000] = char(bytes[central - 30000] ^ 0x04);
        break;
    case Fault::FlippedByteEarly:
        bytes[200] = char(bytes[200] ^ 0x10);
        break;
    case Fault::Ae1WrongCrc:
        makeAe1(bytes, {data});
        put32(bytes, central + 16, 0x12345678);
        break;
    case Fault::AesStrength4:
        bytes.replace(QByteArray("AE\x03"), QByteArray("AE\x04"));
        break;
    case Fault::TraditionalEncryption:
        bytes[central + 8] = char(bytes[central + 8] | 1);
        bytes[6] = char(bytes[6] | 1);
        break;
    case Fault::LocalHeaderMissing:
        bytes[central + 42] = char(bytes[central + 42] + 1);
        break;
    case Fault::WrongPassword:
        usedPassword = QStringLiteral("Wüste-Lager 7?");
        break;
    case Fault::NoPassword:
        usedPassword.clear();
        break;
    case Fault::UnsupportedMethod:
        put16(bytes, central + 10, 12);
        put16(bytes, 8, 12);
        break;
    case Fault::NulInName:
        bytes.replace(QByteArray("Lager_BAK"), QByteArray("Lager\0BAK", 9));
        break;
    case Fault::None:
        break;
    }
    QVERIFY(writeFile(zip, bytes));
    QVERIFY(QFile::resize(zip, bytes.size()));

    QString refusal;
    try {
        ZipReader reader(zip);
        QCOMPARE(reader.entries().size(), size_t(1));
        const ZipEntry& e = reader.entries().front();
        QCOMPARE(e.name.left(5), storedName.left(5));
        try {
            reader.check(e, usedPassword);
        } catch (const ProgramError&) {
        }
        reader.extractInto(e, usedPassword, out);
    } catch (const ProgramError& e) {
        refusal = e.message();
    }
    const QString expected = message.contains(QLatin1String("%1")) ? message.arg(zip) : message;
    QVERIFY2(refusal.startsWith(expected), qPrintable(refusal));
    QCOMPARE(folderContent(out), QStringList());
}

void TestZipReader::targetIsKeptUnlessReplaceIsAsked() {
    TempFolder dir;
    const QByteArray data = content(100 * 1024, 5);
    const QString file = dir.file(QStringLiteral("Lager.BAK"));
    QVERIFY(writeFile(file, data));
    const QString zip = dir.file(QStringLiteral("Lager3.ZIP"));
    QVERIFY(archiveInto(zip, {file}).isEmpty());
    const QString target = dir.file(QStringLiteral("Lager-Montag.BAK"));
    const QString elsewhere = dir.file(QStringLiteral("anderswo"));
    QVERIFY(writeFile(elsewhere, "bleibt"));

    ZipReader reader(zip);
    const ZipEntry& e = reader.entry(QStringLiteral("Lager.BAK"));
    for (const bool link : {false, true}) {
        QFile::remove(target);
        if (link)
            QVERIFY(QFile::link(elsewhere, target));
        else
            QVERIFY(writeFile(target, "alt"));
        try {
            reader.extractTo(e, QString(), target);
            QFAIL("existing target replaced");
        } catch (const ProgramError& error) {
            QCOMPARE(error.message(), QStringLiteral("Zieldatei existiert bereits: ") + target);
        }
        QCOMPARE(fileBytes(elsewhere), QByteArray("bleibt"));
        QCOMPARE(QFileInfo(target).isSymLink(), link);
        QCOMPARE(folderContent(dir.path()).size(), 4);
        if (!link)
            QCOMPARE(fileBytes(target), QByteArray("alt"));
        reader.extractTo(e, QString(), target, ZipReader::Existing::Replace);
        QVERIFY(!QFileInfo(target).isSymLink());
        QVERIFY(fileBytes(target) == data);
        QCOMPARE(fileBytes(elsewhere), QByteArray("bleibt"));
    }
    try {
        reader.entry(QStringLiteral("Lager2.BAK"));
        QFAIL("found");
    } catch (const ProgramError& error) {
        QCOMPARE(error.message(), QStringLiteral("Eintrag nicht in der ZIP-Datei: Lager2.BAK (") +
                                      zip + QLatin1Char(')'));
    }
}

void TestZipReader::linkInPlaceOfTheArchiveIsRefused() {
    TempFolder dir;
    const QString file = dir.file(QStringLiteral("Lager.BAK"));
    QVERIFY(writeFile(file, content(1000, 1)));
    const QString zip = dir.file(QStringLiteral("Lager3.ZIP"));
    QVERIFY(archiveInto(zip, {file}).isEmpty());
    const QString link = dir.file(QStringLiteral("Lager4.ZIP"));
    QVERIFY(QFile::link(zip, link));
    try {
        ZipReader reader(link);
        QFAIL("link followed");
    } catch (const ProgramError& e) {
        QVERIFY2(e.message().contains(QStringLiteral("symbolische Verknüpfung")),
                 qPrintable(e.message()));
    }
}

QTEST_GUILESS_MAIN(TestZipReader)
#include "tst_zipreader.moc"
