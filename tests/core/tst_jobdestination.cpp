// A job's destination as the transfer sees it, and the Object Lock days from the INI file.
#include "TempFolder.h"
#include "core/JobDestination.h"

#include <QFile>
#include <QtTest>

class TestJobDestination : public QObject {
    Q_OBJECT

private slots:
    void s3JobColumns() {
        BackupJob job;
        job.FTP_SSL = DestinationConfig::S3;
        job.FTP_SERVER = QStringLiteral("s3.firma.lan");
        job.FTP_Port = 9443;
        job.FTP_Benutzer = QStringLiteral("AKIAEXAMPLEEXAMPLE01");
        job.FTP_Passwort = QStringLiteral("geheim");
        job.FTP_Pfad = QStringLiteral("sicherung/lager/");
        job.S3_Region = QStringLiteral("eu-central-1");
        const DestinationConfig c = jobDestination(job, QStringLiteral("/prog/"));
        QCOMPARE(c.protocol, DestinationConfig::S3);
        QCOMPARE(c.host, job.FTP_SERVER);
        QCOMPARE(c.port, 9443);
        QCOMPARE(c.user, job.FTP_Benutzer);
        QCOMPARE(c.password, job.FTP_Passwort);
        QCOMPARE(c.pathPrefix, job.FTP_Pfad);
        QCOMPARE(c.region, job.S3_Region);
        QCOMPARE(c.keysFolder, QStringLiteral("/prog/"));
    }

    void objectLockDays_data() {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<int>("days");
        QTest::newRow("set") << QByteArray("[OrvelSQLBackup]\r\nS3ObjectLockDays=30\r\n") << 30;
        QTest::newRow("key in other case")
            << QByteArray("[orvelsqlbackup]\r\ns3objectlockdays = 8\r\n") << 8;
        QTest::newRow("missing") << QByteArray("[OrvelSQLBackup]\r\nMetricsFile=x\r\n") << 0;
        QTest::newRow("zero") << QByteArray("[OrvelSQLBackup]\r\nS3ObjectLockDays=0\r\n") << 0;
        QTest::newRow("negative") << QByteArray("[OrvelSQLBackup]\r\nS3ObjectLockDays=-3\r\n") << 0;
        QTest::newRow("not a number")
            << QByteArray("[OrvelSQLBackup]\r\nS3ObjectLockDays=sieben\r\n") << 0;
        QTest::newRow("other section") << QByteArray("[Andere]\r\nS3ObjectLockDays=5\r\n") << 0;
        QTest::newRow("no file") << QByteArray() << 0;
    }
    void objectLockDays() {
        QFETCH(QByteArray, ini);
        QFETCH(int, days);
        TempFolder folder;
        const QString path = folder.file(QStringLiteral("OrvelSQLBackup.INI"));
        if (!ini.isEmpty()) {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(ini);
        }
        QCOMPARE(s3ObjectLockDays(path), days);
    }
};

QTEST_GUILESS_MAIN(TestJobDestination)
#include "tst_jobdestination.moc"
