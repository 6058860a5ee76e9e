#include "MemoryLog.h"
#include "SettingsFiles.h"
#include "TempFolder.h"
#include "platform/ProgramError.h"
#include "settings/SettingsConnection.h"
#include "settings/SettingsDatabase.h"

#include <QtTest>

#include <sys/stat.h>

class TestSettingsConnection : public QObject {
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
    void connectsWithWhatTheStringNames();
    void existingFileNarrowedOnOpen_data();
    void existingFileNarrowedOnOpen();
};

void TestSettingsConnection::parse_data() {
    QTest::addColumn<QString>("connectionString");
    QTest::addColumn<QString>("dataSource");
    QTest::addColumn<QString>("password");

    QTest::newRow("creation") << SettingsDatabase::creationConnectionString(
                                     "/opt/orvel/sqlback.mdb")
                              << "/opt/orvel/sqlback.mdb"
                              << "kodiak47";
    // A program folder may hold what ends or quotes a value: the strings the program builds
    // must still name the file.
    QTest::newRow("creation, path with ; and quotes")
        << SettingsDatabase::creationConnectionString("/srv/Backup;Kunde 'A\"/sqlback.mdb")
        << "/srv/Backup;Kunde 'A\"/sqlback.mdb"
        << "kodiak47";
    {
        MemoryLog log;
        const SettingsDatabase settings(log, "/srv/Backup;Kunde A/");
        QTest::newRow("use, folder with ;")
            << settings.useConnectionString() << "/srv/Backup;Kunde A/sqlback.mdb"
            << "kodiak47";
    }
    QTest::newRow("use") << "Provider=Microsoft.Jet.OLEDB.4.0;Data "
                            "Source=/opt/orvel/sqlback.mdb;Persist Security Info=False;"
                            "Jet OLEDB:Database Password=kodiak47"
                         << "/opt/orvel/sqlback.mdb"
                         << "kodiak47";
    QTest::newRow("keys in any case, blanks around")
        << " data source = /a b/x.mdb ; JET OLEDB:DATABASE PASSWORD=geheim "
        << "/a b/x.mdb"
        << "geheim";
    QTest::newRow("quoted values")
        << "Data Source=\"/a;b/x.mdb\";Jet OLEDB:Database Password='p''w;x'"
        << "/a;b/x.mdb"
        << "p'w;x";
    QTest::newRow("equals sign in a path") << "Data Source=/a=b/x.mdb"
                                           << "/a=b/x.mdb"
                                           << "";
    QTest::newRow("other keys only") << "Provider=Microsoft.Jet.OLEDB.4.0;Mode=Share Deny None"
                                     << ""
                                     << "";
}

void TestSettingsConnection::parse() {
    QFETCH(QString, connectionString);
    QFETCH(QString, dataSource);
    QFETCH(QString, password);
    const ConnectionParams params = SettingsConnection::parseConnectionString(connectionString);
    QCOMPARE(params.dataSource, dataSource);
    QCOMPARE(params.password, password);
}

void TestSettingsConnection::connectsWithWhatTheStringNames() {
    TempFolder folder;
    const QString path = folder.file("andere datei;1.db");
    QVERIFY(SettingsFiles::exec(path, {"CREATE TABLE t (a INTEGER)"}, "anderes Passwort"));

    SettingsConnection connection;
    connection.setConnectionString("Data Source=\"" + path +
                                   "\";Jet OLEDB:Database Password=\"anderes Passwort\"");
    connection.open();
    QVERIFY(connection.connected());
    connection.close();
    QVERIFY(!connection.connected());

    connection.setConnectionString("Data Source=\"" + path +
                                   "\";Jet OLEDB:Database Password=kodiak47");
    QVERIFY_THROWS_EXCEPTION(ProgramError, connection.open());
    QVERIFY(!connection.connected());
}

void TestSettingsConnection::existingFileNarrowedOnOpen_data() {
    QTest::addColumn<int>("before");
    QTest::addColumn<int>("after");
    QTest::newRow("readable by all") << 0644 << 0600;
    QTest::newRow("writable by group") << 0660 << 0600;
    QTest::newRow("everything for everyone") << 0777 << 0600;
    QTest::newRow("owner's read-only kept") << 0400 << 0400;
}

// A settings file of an older version, and a journal left by a crash, readable by every local
// account: the next connection leaves them to their owner.
void TestSettingsConnection::existingFileNarrowedOnOpen() {
    QFETCH(int, before);
    QFETCH(int, after);
    TempFolder folder;
    const QString path = folder.file("sqlback.mdb");
    QVERIFY(SettingsFiles::exec(path, {"CREATE TABLE t (a INTEGER)"}));
    const QStringList files = {path, path + "-journal", path + "-shm"};
    for (const QString& file : files) {
        QFile f(file);
        QVERIFY(f.open(QIODevice::Append));
        f.close();
        QCOMPARE(::chmod(QFile::encodeName(file).constData(), mode_t(before)), 0);
    }

    SettingsConnection connection;
    connection.setConnectionString("Data Source=" + path + ";Jet OLEDB:Database Password=kodiak47");
    connection.open();
    for (const QString& file : files) {
        struct stat st {};
        QVERIFY2(::stat(QFile::encodeName(file).constData(), &st) == 0, qPrintable(file));
        QCOMPARE(int(st.st_mode & 0777), after);
    }
}

QTEST_GUILESS_MAIN(TestSettingsConnection)
#include "tst_settingsconnection.moc"
