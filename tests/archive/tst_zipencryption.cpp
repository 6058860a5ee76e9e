#include "ArchiveInto.h"
#include "TempFolder.h"
#include "ZipCheck.h"
#include "archive/ZipWriter.h"

#include <QCryptographicHash>
#include <QFile>
#include <QRandomGenerator>
#include <QtTest>

// Archives written with a password are read back by 7-Zip: decrypted, authenticated and
// inflated to the very bytes packed.

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

QString writeFile(const TempFolder& dir, const QString& name, const QByteArray& data) {
    const QString path = dir.file(name);
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(data) != data.size())
        return {};
    return path;
}

QByteArray fileBytes(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

class TestZipEncryption : public QObject {
    Q_OBJECT

private slots:
    void readBackWithThePassword_data();
    void readBackWithThePassword();
    void alteredCiphertextIsCaught();
};

void TestZipEncryption::readBackWithThePassword_data() {
    QTest::addColumn<QList<qint64>>("sizes"); // one entry per size
    QTest::addColumn<qint64>("blockSize");     // 0: the program's
    QTest::addColumn<int>("threads");

    QTest::newRow("0 bytes") << QList<qint64>{0} << qint64(0) << 2;
    QTest::newRow("1 byte") << QList<qint64>{1} << qint64(0) << 2;
    QTest::newRow("15, 16 and 17 bytes") << QList<qint64>{15, 16, 17} << qint64(0) << 2;
    // Hundreds of pieces whose places in the stream fall anywhere within an AES block, sealed
    // on four threads in whatever order they finish.
    QTest::newRow("many pieces") << QList<qint64>{700 * 1024 + 5} << qint64(1024) << 4;
    QTest::newRow("program's pieces, backup and log")
        << QList<qint64>{3 * 1024 * 1024 + 333, 70000} << qint64(0) << 0;
}

void TestZipEncryption::readBackWithThePassword() {
    QFETCH(QList<qint64>, sizes);
    QFETCH(qint64, blockSize);
    QFETCH(int, threads);

    TempFolder dir;
    QStringList files;
    QList<QByteArray> contents;
    for (int i = 0; i < sizes.size(); ++i) {
        contents.append(content(sizes[i], quint32(i + 5)));
        files.append(writeFile(dir, QStringLiteral("Lager%1.BAK").arg(i), contents.last()));
        QVERIFY(!files.last().isEmpty());
    }
    DeflateOptions options;
    options.threads = threads;
    if (blockSize > 0)
        options.blockSize = blockSize;
    const QString zip = dir.file(QStringLiteral("Lager3.ZIP"));
    const QString failure = archiveInto(zip, files, password, {}, options);
    QVERIFY2(failure.isEmpty(), qPrintable(failure));

    // Every entry is AES-256 encrypted; nothing tells of the content without the password.
    QStringList expected;
    for (int i = 0; i < sizes.size(); ++i)
        expected.append(QStringLiteral("Lager%1.BAK|AES-256 Deflate|+").arg(i));
    QCOMPARE(zipcheck::encryptionListing(zip), expected);

    const QString tested = zipcheck::testEncrypted(zip, password);
    QVERIFY2(tested.isEmpty(), qPrintable(tested));
    for (int i = 0; i < sizes.size(); ++i) {
        const QString out = dir.file(QStringLiteral("out%1").arg(i));
        const QString extracted = zipcheck::extractEncrypted(
            zip, password, QStringLiteral("Lager%1.BAK").arg(i), out);
        QVERIFY2(extracted.isEmpty(), qPrintable(extracted));
        QVERIFY(fileBytes(out) == contents[i]);
    }
    // A wrong password, one that differs in its last letter only, and no password at all.
    QVERIFY(!zipcheck::testEncrypted(zip, QStringLiteral("Wüste-Lager 7?")).isEmpty());
    QVERIFY(!zipcheck::testEncrypted(zip, QString()).isEmpty());
}

// Noise is stored, not compressed: a changed byte in it still inflates, and only the
// authentication code can tell.
void TestZipEncryption::alteredCiphertextIsCaught() {
    TempFolder dir;
    QRandomGenerator rng(3);
    QByteArray noise(200000, '\0');
    for (char& c : noise)
        c = char(rng.generate() & 0xFF);
    const QString file = writeFile(dir, QStringLiteral("Lager.BAK"), noise);
    const QString zip = dir.file(QStringLiteral("Lager3.ZIP"));
    const QString failure = archiveInto(zip, {file}, password);
    QVERIFY2(failure.isEmpty(), qPrintable(failure));
    QVERIFY2(zipcheck::testEncrypted(zip, password).isEmpty(), "sound archive refused");

    QByteArray bytes = fileBytes(zip);
    // Local header (30) + name (9) + AES extra field (11) + salt and verifier (18): the data.
    const qsizetype data = 30 + 9 + 11 + 18;
    QCOMPARE(bytes.mid(30, 9), QByteArray("Lager.BAK"));
    bytes[data + 100000] = char(bytes[data + 100000] ^ 0x10);
    const QString altered = dir.file(QStringLiteral("altered.ZIP"));
    {
        QFile f(altered);
        QVERIFY(f.open(QIODevice::WriteOnly));
        QCOMPARE(f.write(bytes), bytes.size());
    }
    // 7-Zip reports a wrong authentication code of an AE-2 entry as a failed CRC; the data
    // itself inflated.
    const QString refused = zipcheck::testEncrypted(altered, password);
    QVERIFY2(refused.contains(QLatin1String("CRC Failed in encrypted file")), qPrintable(refused));
}

QTEST_GUILESS_MAIN(TestZipEncryption)
#include "tst_zipencryption.moc"
