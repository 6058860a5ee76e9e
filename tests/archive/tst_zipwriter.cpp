#include "ArchiveInto.h"
#include "FullDiskDevice.h"
#include "TempFolder.h"
#include "ZipCheck.h"
#include "archive/ZipWriter.h"
#include "platform/ProgramError.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QtTest>

namespace {

enum class Content { Rows, Random, Zeros, Mixed };

// Deterministic file content: rows of a table (compresses well), noise (does not), zeros, or
// short runs of rows and noise in turn (pieces that end anywhere within a byte).
QByteArray makeContent(Content kind, qint64 size, quint32 seed) {
    QByteArray data;
    data.reserve(size);
    QRandomGenerator rng(seed);
    if (kind == Content::Mixed) {
        for (quint32 run = 0; data.size() < size; ++run)
            data += makeContent(run % 2 ? Content::Random : Content::Rows, rng.bounded(300, 3000),
                                seed + run + 1);
        data.truncate(size);
    } else if (kind == Content::Zeros) {
        data.fill('\0', size);
    } else if (kind == Content::Random) {
        data.resize(size);
        for (qint64 i = 0; i < size; ++i)
            data[i] = char(rng.generate() & 0xFF);
    } else {
        int row = 0;
        while (data.size() < size)
            data += QByteArray("Kunde ") + QByteArray::number(row++) + ";Müller;" +
                    QByteArray::number(rng.bounded(100000)) + ";2026-03-" +
                    QByteArray::number(1 + rng.bounded(28)) + "\n";
        data.truncate(size);
    }
    return data;
}

void writeFile(const QString& path, const QByteArray& data, const QDateTime& mtime,
               QFile::Permissions permissions) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    QCOMPARE(f.write(data), data.size());
    f.close();
    QVERIFY(f.open(QIODevice::ReadWrite));
    QVERIFY(f.setFileTime(mtime, QFileDevice::FileModificationTime));
    f.close();
    QVERIFY(QFile::setPermissions(path, permissions));
}

} // namespace

class TestZipWriter : public QObject {
    Q_OBJECT

private slots:
    void acceptedByOtherPrograms_data();
    void acceptedByOtherPrograms();
    void blocksJoinIntoOneStream_data();
    void blocksJoinIntoOneStream();
    void writeFailureAnywhereIsReported_data();
    void writeFailureAnywhereIsReported();
    void unreadableFileIsReported_data();
    void unreadableFileIsReported();
    void entryOver4GiB();
};

void TestZipWriter::acceptedByOtherPrograms_data() {
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QList<qint64>>("sizes");
    QTest::addColumn<int>("content");
    QTest::addColumn<QDateTime>("mtime");
    QTest::addColumn<QList<int>>("dosTime"); // what the archive must say
    QTest::addColumn<quint64>("zip64From32");
    QTest::addColumn<quint64>("zip64From16");

    const QDateTime oddSecond(QDate(2026, 3, 15), QTime(13, 37, 43));
    const QList<int> oddSecondDos{2026, 3, 15, 13, 37, 42};
    const quint64 classic32 = 0xFFFFFFFFu, classic16 = 0xFFFFu;

    // More than one read buffer, so the stream crosses buffer boundaries.
    QTest::newRow("rows over several buffers")
        << QStringList{QStringLiteral("Lager.BAK")} << QList<qint64>{900 * 1024}
        << int(Content::Rows) << oddSecond << oddSecondDos << classic32 << classic16;
    QTest::newRow("full backup then log backup")
        << QStringList{QStringLiteral("Lager.BAK"), QStringLiteral("Lager.TRN")}
        << QList<qint64>{300 * 1024, 40 * 1024} << int(Content::Rows) << oddSecond << oddSecondDos
        << classic32 << classic16;
    QTest::newRow("umlaut and space in the name")
        << QStringList{QStringLiteral("Müller Großhandel.BAK")} << QList<qint64>{5000}
        << int(Content::Rows) << oddSecond << oddSecondDos << classic32 << classic16;
    QTest::newRow("empty file") << QStringList{QStringLiteral("Leer.BAK")} << QList<qint64>{0}
                                << int(Content::Rows) << oddSecond << oddSecondDos << classic32
                                << classic16;
    QTest::newRow("incompressible, exact buffer multiple")
        << QStringList{QStringLiteral("Zufall.BAK")} << QList<qint64>{512 * 1024}
        << int(Content::Random) << oddSecond << oddSecondDos << classic32 << classic16;
    QTest::newRow("modified before 1980")
        << QStringList{QStringLiteral("Alt.BAK")} << QList<qint64>{100} << int(Content::Rows)
        << QDateTime(QDate(1975, 6, 1), QTime(12, 0)) << QList<int>{1980, 1, 1, 0, 0, 0}
        << classic32 << classic16;
    // Lowered limits put every ZIP64 record into a small archive: local and central size
    // fields, header offsets and the ZIP64 end of central directory.
    QTest::newRow("ZIP64 records for sizes, offsets and count")
        << QStringList{QStringLiteral("Lager.BAK"), QStringLiteral("Lager.TRN")}
        << QList<qint64>{70 * 1024, 3000} << int(Content::Random) << oddSecond << oddSecondDos
        << quint64(100) << quint64(1);
    // Empty entries stay below the size limit while the third header and the directory
    // start beyond it.
    QTest::newRow("ZIP64 offsets only")
        << QStringList{QStringLiteral("A.BAK"), QStringLiteral("B.BAK"), QStringLiteral("C.TRN")}
        << QList<qint64>{0, 0, 0} << int(Content::Zeros) << oddSecond << oddSecondDos << quint64(65)
        << classic16;
}

void TestZipWriter::acceptedByOtherPrograms() {
    QFETCH(QStringList, names);
    QFETCH(QList<qint64>, sizes);
    QFETCH(int, content);
    QFETCH(QDateTime, mtime);
    QFETCH(QList<int>, dosTime);
    QFETCH(quint64, zip64From32);
    QFETCH(quint64, zip64From16);

    TempFolder dir;
    QStringList paths;
    const QFile::Permissions rw_r = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup;
    for (int i = 0; i < names.size(); ++i) {
        paths << dir.file(names[i]);
        writeFile(paths.last(), makeContent(Content(content), sizes[i], quint32(i + 1)), mtime,
                  rw_r);
    }
    const QString zip = dir.file(QStringLiteral("Test.ZIP"));
    const QString failure = archiveInto(zip, paths, {}, ZipLimits{zip64From32, zip64From16});
    QVERIFY2(failure.isEmpty(), qPrintable(failure));

    const zipcheck::Listing listing = zipcheck::check(zip);
    QVERIFY2(listing.error.isEmpty(), qPrintable(listing.error));
    QCOMPARE(zipcheck::names(listing), names);
    QVERIFY(listing.comment.isEmpty());
    for (int i = 0; i < names.size(); ++i) {
        const zipcheck::Entry& e = listing.entries[i];
        QCOMPARE(e.size, sizes[i]);
        QCOMPARE(e.crc, zipcheck::fileCrc(paths[i]));
        QCOMPARE(e.method, 8);
        QVERIFY2(e.flags & 0x0800, "UTF-8 flag");
        QCOMPARE(e.flags & 0x0001, 0); // not encrypted
        QCOMPARE(e.system, 3);
        QCOMPARE(e.externalAttributes >> 16, 0100640u);
        QCOMPARE(e.dateTime, dosTime);
    }
}

// An entry is packed in blocks on several threads; whatever the size against the block size and
// whatever the data, the archive must hold one Deflate stream per entry that other programs
// inflate back to the file, byte for byte.
void TestZipWriter::blocksJoinIntoOneStream_data() {
    QTest::addColumn<qint64>("size");
    QTest::addColumn<int>("content");
    QTest::addColumn<qint64>("blockSize"); // 0: the program's
    QTest::addColumn<int>("threads");      // 0: one per core

    const qint64 block = 64 * 1024;
    QTest::newRow("zero bytes") << qint64(0) << int(Content::Rows) << block << 2;
    QTest::newRow("half a block") << block / 2 << int(Content::Rows) << block << 2;
    QTest::newRow("exactly one block") << block << int(Content::Random) << block << 2;
    QTest::newRow("one byte past a block") << block + 1 << int(Content::Rows) << block << 2;
    QTest::newRow("one byte short of two blocks")
        << 2 * block - 1 << int(Content::Random) << block << 2;
    QTest::newRow("zeros, many blocks") << 48 * block << int(Content::Zeros) << block << 4;
    QTest::newRow("noise, many blocks") << 16 * block << int(Content::Random) << block << 4;
    // A thousand pieces of varied data end at every bit position of a byte.
    QTest::newRow("mixed, a thousand small blocks")
        << qint64(1000 * 1024 - 7) << int(Content::Mixed) << qint64(1024) << 4;
    QTest::newRow("program's blocks, one thread")
        << qint64(2500 * 1024) << int(Content::Rows) << qint64(0) << 1;
    QTest::newRow("program's blocks, one thread per core")
        << qint64(2500 * 1024) << int(Content::Mixed) << qint64(0) << 0;
}

void TestZipWriter::blocksJoinIntoOneStream() {
    QFETCH(qint64, size);
    QFETCH(int, content);
    QFETCH(qint64, blockSize);
    QFETCH(int, threads);

    TempFolder dir;
    const QString path = dir.file(QStringLiteral("Lager.BAK"));
    const QByteArray data = makeContent(Content(content), size, 11);
    writeFile(path, data, QDateTime::currentDateTime(), QFile::ReadOwner | QFile::WriteOwner);
    DeflateOptions options;
    options.threads = threads;
    if (blockSize > 0)
        options.blockSize = blockSize;
    const QString zip = dir.file(QStringLiteral("Lager3.ZIP"));
    const QString failure = archiveInto(zip, {path}, {}, {}, options);
    QVERIFY2(failure.isEmpty(), qPrintable(failure));

    const zipcheck::Listing listing = zipcheck::check(zip);
    QVERIFY2(listing.error.isEmpty(), qPrintable(listing.error));
    QCOMPARE(listing.entries.size(), 1);
    QCOMPARE(listing.entries[0].size, size);
    QCOMPARE(listing.entries[0].crc, zipcheck::fileCrc(path));
    QCOMPARE(listing.entries[0].sha256,
             QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex());
}

void TestZipWriter::writeFailureAnywhereIsReported_data() {
    QTest::addColumn<qint64>("budget");
    QTest::addColumn<qint64>("fromEnd"); // budget counted back from the full archive size

    QTest::newRow("nothing can be written") << qint64(0) << qint64(-1);
    QTest::newRow("inside the first local header") << qint64(12) << qint64(-1);
    QTest::newRow("inside the compressed data") << qint64(3000) << qint64(-1);
    QTest::newRow("at a later block, others still being packed") << qint64(12000) << qint64(-1);
    QTest::newRow("inside the central directory") << qint64(-1) << qint64(40);
    QTest::newRow("last byte of the end record") << qint64(-1) << qint64(1);
}

void TestZipWriter::writeFailureAnywhereIsReported() {
    QFETCH(qint64, budget);
    QFETCH(qint64, fromEnd);

    TempFolder dir;
    const QStringList paths{dir.file(QStringLiteral("Lager.BAK")),
                            dir.file(QStringLiteral("Lager.TRN"))};
    const QDateTime when(QDate(2026, 1, 5), QTime(2, 0));
    writeFile(paths[0], makeContent(Content::Random, 20000, 7), when, QFile::ReadOwner);
    writeFile(paths[1], makeContent(Content::Rows, 4000, 8), when, QFile::ReadOwner);
    // Small blocks on more threads than cores: the failure meets blocks still in the workers.
    DeflateOptions blocks;
    blocks.threads = 4;
    blocks.blockSize = 4096;

    QBuffer whole;
    whole.open(QIODevice::WriteOnly);
    {
        ZipWriter writer(whole, QStringLiteral("whole"), {}, blocks);
        writer.addFile(paths[0]);
        writer.addFile(paths[1]);
        writer.close();
    }
    if (fromEnd >= 0)
        budget = whole.size() - fromEnd;

    QBuffer target;
    target.open(QIODevice::WriteOnly);
    FullDiskDevice failing(target, budget);
    const QString name = QStringLiteral("/pfad/Lager3.ZIP");
    QString message;
    ZipWriter writer(failing, name, {}, blocks);
    try {
        writer.addFile(paths[0]);
        writer.addFile(paths[1]);
        writer.close();
    } catch (const ProgramError& e) {
        message = e.message();
    }
    QCOMPARE(message, QStringLiteral(
                          "Datei kann nicht geschrieben werden: /pfad/Lager3.ZIP (No space left on "
                          "device)"));
    // A writer that failed half way never ends up claiming a complete archive.
    QVERIFY_THROWS_EXCEPTION(ProgramError, writer.close());
    QVERIFY_THROWS_EXCEPTION(ProgramError, writer.addFile(paths[1]));
}

void TestZipWriter::unreadableFileIsReported_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("makeFolder");
    QTest::newRow("missing") << QStringLiteral("Fehlt.BAK") << false;
    QTest::newRow("a folder") << QStringLiteral("Ordner.BAK") << true;
}

void TestZipWriter::unreadableFileIsReported() {
    QFETCH(QString, name);
    QFETCH(bool, makeFolder);
    TempFolder dir;
    const QString path = dir.file(name);
    if (makeFolder)
        QVERIFY(QDir().mkdir(path));
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    ZipWriter writer(out, QStringLiteral("out.ZIP"));
    try {
        writer.addFile(path);
        QFAIL("no exception");
    } catch (const ProgramError& e) {
        QVERIFY2(e.message().startsWith(QStringLiteral("Datei kann nicht gelesen werden: ") + path),
                 qPrintable(e.message()));
    }
}

// CRC of `length` zero bytes, without reading them.
static uLong crcOfZeros(qint64 length) {
    const QByteArray block(1 << 20, '\0');
    uLong unit = crc32(0, reinterpret_cast<const Bytef*>(block.constData()), uInt(block.size()));
    qint64 unitLength = block.size();
    uLong crc =
        crc32(0, reinterpret_cast<const Bytef*>(block.constData()), uInt(length % block.size()));
    for (qint64 units = length / block.size(); units; units >>= 1) {
        if (units & 1)
            crc = crc32_combine64(crc, unit, unitLength);
        unit = crc32_combine64(unit, unit, unitLength);
        unitLength *= 2;
    }
    return crc;
}

// One entry past 4 GiB: a sparse file with data at both ends compresses fast.
void TestZipWriter::entryOver4GiB() {
    TempFolder dir;
    const QString path = dir.file(QStringLiteral("Gross.BAK"));
    const qint64 size = (qint64(4) << 30) + 3 * 1024 * 1024 + 17;
    const QByteArray head = makeContent(Content::Rows, 100000, 1);
    const QByteArray tail = makeContent(Content::Random, 70000, 2);
    {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        QVERIFY(f.write(head) == head.size());
        QVERIFY(f.resize(size));
        QVERIFY(f.seek(size - tail.size()));
        QVERIFY(f.write(tail) == tail.size());
    }
    uLong expectedCrc =
        crc32(0, reinterpret_cast<const Bytef*>(head.constData()), uInt(head.size()));
    expectedCrc = crc32_combine64(expectedCrc, crcOfZeros(size - head.size() - tail.size()),
                                  size - head.size() - tail.size());
    expectedCrc = crc32_combine64(
        expectedCrc, crc32(0, reinterpret_cast<const Bytef*>(tail.constData()), uInt(tail.size())),
        tail.size());
    const QString small = dir.file(QStringLiteral("Gross.TRN"));
    writeFile(small, makeContent(Content::Rows, 1000, 3), QDateTime::currentDateTime(),
              QFile::ReadOwner | QFile::WriteOwner);

    const QString zip = dir.file(QStringLiteral("Gross.ZIP"));
    const QString failure = archiveInto(zip, {path, small});
    QVERIFY2(failure.isEmpty(), qPrintable(failure));

    const zipcheck::Listing listing = zipcheck::check(zip, false);
    QVERIFY2(listing.error.isEmpty(), qPrintable(listing.error));
    QCOMPARE(zipcheck::names(listing),
             (QStringList{QStringLiteral("Gross.BAK"), QStringLiteral("Gross.TRN")}));
    QCOMPARE(listing.entries[0].size, size);
    QCOMPARE(listing.entries[0].crc, quint32(expectedCrc));
    QCOMPARE(listing.entries[1].size, qint64(1000));
}

QTEST_GUILESS_MAIN(TestZipWriter)
#include "tst_zipwriter.moc"
