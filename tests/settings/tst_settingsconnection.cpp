#include "MemoryLog.h"
#include "SettingsFiles.h"
#include "TempFolder.h"
#include "platform/NoFollowFile.h"
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
    void linkInPlaceOfAFileIsRefused_data();
    void linkInPlaceOfAFileIsRefused();
    void journalLinkPlantedWhileOpenIsNotFollowed();
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

namespace {
// A file of another account's choosing that a link in the program folder points to.
QString plantTarget(const TempFolder& elsewhere) {
    const QString target = elsewhere.file("fremd.txt");
    QFile f(target);
    if (f.open(QIODevice::WriteOnly))
        f.write("unberührt\n");
    return target;
}
QByteArray contentOf(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}
} // namespace

void TestSettingsConnection::linkInPlaceOfAFileIsRefused_data() {
    QTest::addColumn<QString>("suffix");
    QTest::newRow("settings file") << QString();
    QTest::newRow("journal") << QStringLiteral("-journal");
    QTest::newRow("write-ahead log") << QStringLiteral("-wal");
    QTest::newRow("shared memory") << QStringLiteral("-shm");
}

// A symbolic link planted in place of the settings file or one of SQLite's files beside it:
// no connection, nothing written or narrowed where it points, and the message names the file.
void TestSettingsConnection::linkInPlaceOfAFileIsRefused() {
    QFETCH(QString, suffix);
    TempFolder folder;
    TempFolder elsewhere;
    const QString path = folder.file("sqlback.mdb");
    if (!suffix.isEmpty())
        QVERIFY(SettingsFiles::exec(path, {"CREATE TABLE t (a INTEGER)"}));
    const QString target = plantTarget(elsewhere);
    QCOMPARE(::chmod(QFile::encodeName(target).constData(), 0644), 0);
    const QString link = path + suffix;
    QVERIFY(QFile::link(target, link));

    SettingsConnection connection;
    connection.setConnectionString("Data Source=" + path + ";Jet OLEDB:Database Password=kodiak47");
    QVERIFY_THROWS_EXCEPTION(ProgramError, connection.open());
    QVERIFY(!connection.connected());
    QCOMPARE(connection.refusal(), NoFollowFile::refusal(link));
    QVERIFY(connection.refusal().contains(link));
    QCOMPARE(contentOf(target), QByteArray("unberührt\n"));
    struct stat st {};
    QCOMPARE(::stat(QFile::encodeName(target).constData(), &st), 0);
    QCOMPARE(int(st.st_mode & 0777), 0644);
}

// The journal is opened by SQLite itself at the first write; a link planted there after the
// connection was made is not followed either, and the failure names it.
void TestSettingsConnection::journalLinkPlantedWhileOpenIsNotFollowed() {
    TempFolder folder;
    TempFolder elsewhere;
    const QString path = folder.file("sqlback.mdb");
    QVERIFY(SettingsFiles::exec(path, {"CREATE TABLE t (a INTEGER)"}));
    SettingsConnection connection;
    connection.setConnectionString("Data Source=" + path + ";Jet OLEDB:Database Password=kodiak47");
    connection.open();

    const QString target = plantTarget(elsewhere);
    const QString journal = path + "-journal";
    QVERIFY(QFile::link(target, journal));
    QVERIFY(sqlite3_exec(connection.handle(), "INSERT INTO t VALUES (1)", nullptr, nullptr,
                         nullptr) != SQLITE_OK);
    QCOMPARE(settingsFileMessage(connection.handle()), NoFollowFile::refusal(journal));
    QCOMPARE(contentOf(target), QByteArray("unberührt\n"));
    connection.close();

    // Once the link is gone, the file takes writes again.
    QVERIFY(QFile::remove(journal));
    connection.open();
    QCOMPARE(sqlite3_exec(connection.handle(), "INSERT INTO t VALUES (1)", nullptr, nullptr,
                          nullptr),
             SQLITE_OK);
}

QTEST_GUILESS_MAIN(TestSettingsConnection)
#include "tst_settingsconnection.moc"
