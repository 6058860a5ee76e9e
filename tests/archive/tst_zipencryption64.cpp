#include "TempFolder.h"
#include "archive/ZipWriter.h"
#include "platform/ProgramError.h"
#include "ZipCheck.h"

#include <QFile>
#include <QProcess>
#include <QtTest>

// An encrypted entry past 4 GiB needs the ZIP64 records beside the AES extra field; 7-Zip must
// read it back whole. Slow (4 GiB are packed and unpacked), so it runs once, apart.
class TestZipEncryption64 : public QObject {
    Q_OBJECT

private slots:
    void encryptedEntryOver4GiB();
};

void TestZipEncryption64::encryptedEntryOver4GiB() {
    TempFolder dir;
    const QString path = dir.file(QStringLiteral("Gross.BAK"));
    const qint64 size = (qint64(4) << 30) + 1; // sparse: zeros and one byte at the end
    {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        QVERIFY(f.resize(size - 1));
        QVERIFY(f.seek(size - 1));
        QVERIFY(f.putChar('x'));
    }
    const QString zip = dir.file(QStringLiteral("Gross3.ZIP"));
    const QString password = QStringLiteral("sehr geheim");
    {
        QFile out(zip);
        QVERIFY(out.open(QIODevice::WriteOnly));
        try {
            ZipWriter writer(out, zip);
            writer.setPassword(password);
            writer.addFile(path);
            writer.close();
        } catch (const ProgramError& e) {
            QFAIL(qPrintable(e.message()));
        }
    }
    QCOMPARE(zipcheck::encryptionListing(zip),
             QStringList{QStringLiteral("Gross.BAK|AES-256 Deflate|+")});
    // 7-Zip decrypts and inflates the entry; its bytes are the file's.
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("ZIP_PASSWORD"), password);
    p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(QStringLiteral("/bin/sh"),
            {QStringLiteral("-c"),
             QStringLiteral("7z x -so -p\"$ZIP_PASSWORD\" \"$1\" Gross.BAK | cmp - \"$2\""),
             QStringLiteral("sh"), zip, path});
    QVERIFY(p.waitForStarted());
    QVERIFY(p.waitForFinished(-1));
    QVERIFY2(p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0,
             p.readAll().constData());
    const QString tested = zipcheck::testEncrypted(zip, password);
    QVERIFY2(tested.isEmpty(), qPrintable(tested));
}

QTEST_GUILESS_MAIN(TestZipEncryption64)
#include "tst_zipencryption64.moc"
