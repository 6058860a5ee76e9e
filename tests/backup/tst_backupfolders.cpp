// The backup folder as the INI file names it for each side.
#include "TempFolder.h"

#include "backup/BackupFolders.h"

#include <QFile>
#include <QTest>

class TestBackupFolders : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void withTrailingSeparator_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("expected");
        QTest::newRow("Linux") << "/srv/mssql-backup" << "/srv/mssql-backup/";
        QTest::newRow("Linux, ended") << "/srv/mssql-backup/" << "/srv/mssql-backup/";
        QTest::newRow("drive folder") << "D:\\Backup" << "D:\\Backup\\";
        QTest::newRow("drive folder, ended") << "D:\\Backup\\" << "D:\\Backup\\";
        QTest::newRow("bare drive") << "D:" << "D:\\";
        QTest::newRow("share") << "\\\\nas\\sql" << "\\\\nas\\sql\\";
        QTest::newRow("Windows path with slashes") << "D:/Backup" << "D:/Backup/";
        QTest::newRow("last separator counts") << "\\\\nas\\sql/daily" << "\\\\nas\\sql/daily/";
        QTest::newRow("bare name") << "backup" << "backup/";
    }
    void withTrailingSeparator() {
        QFETCH(QString, path);
        QFETCH(QString, expected);
        QCOMPARE(BackupFolders::withTrailingSeparator(path), expected);
    }

    void fromIni_data() {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<QString>("local");  // "{p}" stands for the program folder
        QTest::addColumn<QString>("server");
        QTest::newRow("no keys") << QByteArray("[OrvelSQLBackup]\r\nInternet=0\r\n") << "{p}"
                                 << "{p}";
        QTest::newRow("empty keys")
            << QByteArray("[OrvelSQLBackup]\r\nBackupFolder=\r\nServerBackupFolder=\r\n") << "{p}"
            << "{p}";
        QTest::newRow("local only: the server names it alike")
            << QByteArray("[OrvelSQLBackup]\r\nBackupFolder=/var/opt/mssql/backup\r\n")
            << "/var/opt/mssql/backup/"
            << "/var/opt/mssql/backup/";
        QTest::newRow("both")
            << QByteArray("[orvelsqlbackup]\r\nbackupfolder = /mnt/sql\r\nServerBackupFolder=D:\\Backup\r\n")
            << "/mnt/sql/"
            << "D:\\Backup\\";
        QTest::newRow("server only") << QByteArray("[OrvelSQLBackup]\r\nServerBackupFolder=\\\\nas\\sql\\\r\n")
                                     << "{p}"
                                     << "\\\\nas\\sql\\";
        QTest::newRow("relative local") << QByteArray("[OrvelSQLBackup]\r\nBackupFolder=sicherungen\r\n")
                                        << "{p}sicherungen/"
                                        << "{p}sicherungen/";
        QTest::newRow("other section") << QByteArray("[Anderes]\r\nBackupFolder=/x\r\n") << "{p}"
                                       << "{p}";
    }
    void fromIni() {
        QFETCH(QByteArray, ini);
        QFETCH(QString, local);
        QFETCH(QString, server);
        TempFolder folder;
        QFile file(folder.file(QStringLiteral("OrvelSQLBackup.INI")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(ini);
        file.close();
        const BackupFolders folders = BackupFolders::fromIni(file.fileName(), folder.path());
        QCOMPARE(folders.local, QString(local).replace(QStringLiteral("{p}"), folder.path()));
        QCOMPARE(folders.server, QString(server).replace(QStringLiteral("{p}"), folder.path()));
    }

    void backupFilesAsEachSideNamesThem() {
        const BackupFolders folders{QStringLiteral("/mnt/sql/"), QStringLiteral("D:\\Backup\\")};
        const QString db = QStringLiteral("Müller Großhandel");
        QCOMPARE(folders.fullBackup(db), QStringLiteral("/mnt/sql/Müller Großhandel.BAK"));
        QCOMPARE(folders.logBackup(db), QStringLiteral("/mnt/sql/Müller Großhandel.TRN"));
        QCOMPARE(folders.serverFullBackup(db), QStringLiteral("D:\\Backup\\Müller Großhandel.BAK"));
        QCOMPARE(folders.serverLogBackup(db), QStringLiteral("D:\\Backup\\Müller Großhandel.TRN"));
    }

    void missingFolderIsNotUsable() {
        TempFolder folder;
        QVERIFY(BackupFolders::inProgramFolder(folder.path()).localFolderUsable());
        QVERIFY(!BackupFolders::inProgramFolder(folder.file(QStringLiteral("fehlt/"))).localFolderUsable());
        QFile plain(folder.file(QStringLiteral("datei")));
        QVERIFY(plain.open(QIODevice::WriteOnly));
        QVERIFY(!BackupFolders::inProgramFolder(plain.fileName() + QLatin1Char('/')).localFolderUsable());
    }
};

QTEST_GUILESS_MAIN(TestBackupFolders)
#include "tst_backupfolders.moc"
