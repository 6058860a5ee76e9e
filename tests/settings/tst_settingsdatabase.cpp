#include "MemoryLog.h"
#include "SettingsFiles.h"
#include "TempFolder.h"
#include "platform/ProgramError.h"
#include "settings/SettingsDatabase.h"

#include <QtTest>
#include <chrono>
#include <latch>
#include <thread>

#include <sys/stat.h>

using namespace SettingsFiles;

namespace {

const QStringList connectedLines = {QStringLiteral("Einstellungsdatenbank verbunden"),
                                    QStringLiteral("Datenbank erfolgreich geöffnet")};
const QStringList failedLines = {
    QStringLiteral("FEHLER: Keine Verbindung zur Einstellungsdatenbank"),
    QStringLiteral("Datenbank kann nicht geöffnet werden")};

const QStringList fullJobColumns = {
    "DBName nvarchar(50) 1 1",
    "DBServer nvarchar(50) 1 0",
    "DBBenutzer nvarchar(50) 1 0",
    "DBPasswort nvarchar(50) 1 0",
    "ZIP_Dateiname nvarchar(50) 0 0",
    "ZIP_erstellen BIT 0 0",
    "FTP_aktiv BIT 0 0",
    "FTP_SERVER nvarchar(50) 0 0",
    "FTP_Benutzer nvarchar(50) 0 0",
    "FTP_Passwort nvarchar(50) 0 0",
    "FTP_Port INTEGER 0 0",
    "FTP_Pfad nvarchar(150) 0 0",
    "FTP_SSL INTEGER 0 0",
    "FTP_Passiv INTEGER 0 0",
    "FTP_Binary INTEGER 0 0",
    "S3_Region nvarchar(50) 0 0",
};
const QStringList fullGeneralColumns = {
    "ID INTEGER 0 1",
    "VersenderName nvarchar(50) 0 0",
    "VersenderEmail nvarchar(50) 0 0",
    "VersenderBenutzerName nvarchar(50) 0 0",
    "VersenderBenutzerPasswort nvarchar(50) 0 0",
    "EmpfaengerEmail nvarchar(255) 0 0",
    "SMTPServer nvarchar(50) 0 0",
    "Port INTEGER 0 0",
    "SMTPSSLTLS BIT 0 0",
    "OrdnerZIPDateien nvarchar(250) 0 0",
    "ZIP_Passwort nvarchar(255) 0 0",
};

const QString baseJobTable =
    QStringLiteral("CREATE TABLE sqldatenbanken (DBName nvarchar(50) NOT NULL PRIMARY KEY, "
                   "DBServer nvarchar(50) NOT NULL, "
                   "DBBenutzer nvarchar(50) NOT NULL, DBPasswort nvarchar(50) NOT NULL");

QByteArray fileBytes(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// The permission bits of a file, -1 when it is missing.
int modeOf(const QString& path) {
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 0777) : -1;
}

QStringList sorted(QStringList list) {
    list.sort();
    return list;
}

} // namespace

class TestSettingsDatabase : public QObject {
    Q_OBJECT

private slots:
    void firstStart();
    void fileIsEncrypted();
    void fileIsPrivate_data();
    void fileIsPrivate();
    void createAccessDatabase_data();
    void createAccessDatabase();
    void currentVersionRunsNoStatement_data();
    void currentVersionRunsNoStatement();
    void olderVersionIsUpgraded_data();
    void olderVersionIsUpgraded();
    void tablesWithoutVersionTable();
    void noConnection_data();
    void noConnection();
    void briefLockIsWaitedFor();
    void lockOutlastingTheWaitIsNoConnection();
    void writeTransactionOfAnotherProcessIsNoConnection();
    void unreadableVersionTableRaises();
    void upgradeBlockedByLockIsNotMarkedDone();
    void pendingChangesStoredOnClose();
    void dbbefehlTranslatesAndExecutes();
    void dbbefehlDropsFailures_data();
    void dbbefehlDropsFailures();
};

void TestSettingsDatabase::firstStart() {
    TempFolder folder;
    MemoryLog log;
    SettingsDatabase db(log, folder.path());
    QVERIFY(SettingsDatabase::CreateAccessDatabase(folder.file("sqlback.mdb")));
    QCOMPARE(db.databasePath(), folder.file("sqlback.mdb"));
    db.checkdatabase();

    QCOMPARE(log.lines, connectedLines);
    QCOMPARE(columns(db.databasePath(), "sqldatenbanken"), fullJobColumns);
    QCOMPARE(columns(db.databasePath(), "benutzerdaten"), fullGeneralColumns);
    QCOMPARE(columns(db.databasePath(), "dbversion"), QStringList{"DBVERSION DATETIME 1 1"});
    QCOMPARE(rows(db.databasePath(), "SELECT DBVERSION FROM dbversion"),
             QStringList{"2016-08-15 00:00:00"});
    QCOMPARE(rows(db.databasePath(), "SELECT count(*) FROM sqldatenbanken"), QStringList{"0"});
    QCOMPARE(rows(db.databasePath(), "SELECT * FROM benutzerdaten"),
             QStringList{"1|NULL|NULL|NULL|NULL|NULL|NULL|NULL|NULL|NULL|NULL"});

    QVERIFY(!db.queryVersion.isOpen());
    QVERIFY(db.queryDatenbanken.isOpen());
    QVERIFY(db.queryDatenbanken.isEmpty());
    QCOMPARE(db.queryDatenbanken.fieldNames().size(), fullJobColumns.size());
    QVERIFY(db.queryBenutzerdaten.isOpen());
    QCOMPARE(db.queryBenutzerdaten.recordCount(), 1);
    QCOMPARE(db.queryBenutzerdaten.state(), DatasetState::Browse);
    QVERIFY(db.queryBenutzerdaten.field("EmpfaengerEmail").isNull());

    // The next start finds everything in place and adds no second general-settings row.
    MemoryLog log2;
    SettingsDatabase again(log2, folder.path());
    again.checkdatabase();
    QCOMPARE(log2.lines, connectedLines);
    QCOMPARE(again.queryBenutzerdaten.recordCount(), 1);
    QCOMPARE(rows(db.databasePath(), "SELECT count(*) FROM benutzerdaten"), QStringList{"1"});
}

void TestSettingsDatabase::fileIsEncrypted() {
    TempFolder folder;
    MemoryLog log;
    SettingsDatabase db(log, folder.path());
    QVERIFY(SettingsDatabase::CreateAccessDatabase(db.databasePath()));
    db.checkdatabase();
    db.queryDatenbanken.append();
    db.queryDatenbanken.field("DBName").setValue("Lager");
    db.queryDatenbanken.field("DBServer").setValue("srv");
    db.queryDatenbanken.field("DBBenutzer").setValue("sa");
    db.queryDatenbanken.field("DBPasswort").setValue("GeheimesPasswort42");
    db.queryDatenbanken.post();
    db.ADOConnection1.close();

    const QByteArray raw = fileBytes(db.databasePath());
    QVERIFY(!raw.startsWith("SQLite format 3"));
    QVERIFY(!raw.contains("sqldatenbanken"));
    QVERIFY(!raw.contains("GeheimesPasswort42"));

    const QString withKey = shell(
        db.databasePath(), "PRAGMA key='kodiak47';\n.schema\nSELECT DBVERSION FROM dbversion;\n");
    QVERIFY2(withKey.contains("CREATE TABLE sqldatenbanken"), qPrintable(withKey));
    QVERIFY2(withKey.contains("CREATE TABLE benutzerdaten"), qPrintable(withKey));
    QVERIFY2(withKey.contains("CREATE TABLE dbversion"), qPrintable(withKey));
    QVERIFY2(withKey.contains("2016-08-15 00:00:00"), qPrintable(withKey));

    const QString withoutKey =
        shell(db.databasePath(), ".schema\nSELECT count(*) FROM sqlite_master;\n");
    QVERIFY2(!withoutKey.contains("CREATE TABLE"), qPrintable(withoutKey));
    QVERIFY2(withoutKey.contains("file is encrypted or is not a database"), qPrintable(withoutKey));

    const QString wrongKey = shell(db.databasePath(), "PRAGMA key='kodiak48';\n.schema\n");
    QVERIFY2(!wrongKey.contains("CREATE TABLE"), qPrintable(wrongKey));
}

void TestSettingsDatabase::fileIsPrivate_data() {
    QTest::addColumn<QString>("journalMode");
    QTest::addColumn<QStringList>("companions"); // files SQLite keeps beside it during a write
    QTest::newRow("rollback journal") << "DELETE" << QStringList{"-journal"};
    QTest::newRow("write-ahead log") << "WAL" << QStringList{"-wal", "-shm"};
}

// The file holds every stored password under a published key. Under the usual umask 022 it
// and what SQLite writes beside it must still be the owner's alone.
void TestSettingsDatabase::fileIsPrivate() {
    QFETCH(QString, journalMode);
    QFETCH(QStringList, companions);

    const mode_t previousMask = ::umask(022);
    const auto restoreMask = qScopeGuard([previousMask] { ::umask(previousMask); });
    TempFolder folder;
    MemoryLog log;
    SettingsDatabase db(log, folder.path());
    QVERIFY(SettingsDatabase::CreateAccessDatabase(db.databasePath()));
    QCOMPARE(modeOf(db.databasePath()), 0600);

    db.checkdatabase();
    QCOMPARE(log.lines, connectedLines);
    sqlite3* handle = db.ADOConnection1.handle();
    const QString write = "PRAGMA journal_mode=" + journalMode +
                          "; BEGIN IMMEDIATE; INSERT INTO sqldatenbanken "
                          "(DBName, DBServer, DBBenutzer, DBPasswort) VALUES ('a', 'b', 'c', 'd')";
    QCOMPARE(sqlite3_exec(handle, write.toUtf8().constData(), nullptr, nullptr, nullptr),
             SQLITE_OK);
    for (const QString& suffix : companions)
        QCOMPARE(modeOf(db.databasePath() + suffix), 0600);
    QCOMPARE(sqlite3_exec(handle, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    QCOMPARE(modeOf(db.databasePath()), 0600);
}

void TestSettingsDatabase::createAccessDatabase_data() {
    QTest::addColumn<QString>("relativePath");
    QTest::addColumn<QByteArray>("existing"); // content of a file already at the path
    QTest::addColumn<bool>("created");

    QTest::newRow("new file") << "sqlback.mdb" << QByteArray() << true;
    QTest::newRow("file already there") << "sqlback.mdb" << QByteArray("keep me") << false;
    QTest::newRow("folder missing") << "missing/sqlback.mdb" << QByteArray() << false;
    QTest::newRow("folder is a file") << "plainfile/sqlback.mdb" << QByteArray() << false;
}

void TestSettingsDatabase::createAccessDatabase() {
    QFETCH(QString, relativePath);
    QFETCH(QByteArray, existing);
    QFETCH(bool, created);

    TempFolder folder;
    const QString path = folder.file(relativePath);
    if (!existing.isEmpty()) {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(existing);
    }
    {
        QFile f(folder.file("plainfile"));
        QVERIFY(f.open(QIODevice::WriteOnly));
    }

    QCOMPARE(SettingsDatabase::CreateAccessDatabase(path), created);
    if (created) {
        // An empty database that opens only with the password.
        QCOMPARE(rows(path, "SELECT count(*) FROM sqlite_master"), QStringList{"0"});
        QVERIFY(!fileBytes(path).startsWith("SQLite format 3"));
        // Made under a name of its own and renamed: nothing else is left beside it.
        QCOMPARE(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden),
                 (QStringList{"plainfile", "sqlback.mdb"}));
    } else if (!existing.isEmpty()) {
        QCOMPARE(fileBytes(path), existing);
    } else {
        QVERIFY(!QFileInfo::exists(path));
    }
}

void TestSettingsDatabase::currentVersionRunsNoStatement_data() {
    QTest::addColumn<QString>("version");
    QTest::newRow("15 August 2016") << "2016-08-15 00:00:00";
    QTest::newRow("later") << "2021-03-01 12:00:00";
}

void TestSettingsDatabase::currentVersionRunsNoStatement() {
    QFETCH(QString, version);
    TempFolder folder;
    const QString path = folder.file("sqlback.mdb");
    // A job table that lacks most columns, with a NULL protocol: any upgrade statement would show.
    QVERIFY(exec(path, {baseJobTable + ", FTP_SSL INTEGER)",
                        "CREATE TABLE benutzerdaten (ID INTEGER PRIMARY KEY AUTOINCREMENT, "
                        "VersenderName nvarchar(50))",
                        "CREATE TABLE dbversion (DBVERSION DATETIME NOT NULL PRIMARY KEY)",
                        QStringLiteral("INSERT INTO dbversion VALUES ('%1')").arg(version),
                        "INSERT INTO sqldatenbanken VALUES ('Kunden', 'srv', 'sa', 'pw', NULL)"}));

    MemoryLog log;
    SettingsDatabase db(log, folder.path());
    db.checkdatabase();

    QCOMPARE(log.lines, connectedLines);
    // Only the ZIP password and the S3 region, newer than any schema version, are added where
    // they are missing.
    QCOMPARE(columns(path, "sqldatenbanken").size(), 6);
    QVERIFY(columns(path, "sqldatenbanken").contains("S3_Region nvarchar(50) 0 0"));
    QCOMPARE(columns(path, "benutzerdaten"),
             (QStringList{"ID INTEGER 0 1", "VersenderName nvarchar(50) 0 0",
                          "ZIP_Passwort nvarchar(255) 0 0"}));
    QCOMPARE(rows(path, "SELECT * FROM sqldatenbanken"), QStringList{"Kunden|srv|sa|pw|NULL|NULL"});
    QCOMPARE(rows(path, "SELECT DBVERSION FROM dbversion"), QStringList{version});
    // The general-settings row is still ensured.
    QCOMPARE(rows(path, "SELECT * FROM benutzerdaten"), QStringList{"1|NULL|NULL"});
    QCOMPARE(db.queryDatenbanken.recordCount(), 1);
}

void TestSettingsDatabase::olderVersionIsUpgraded_data() {
    QTest::addColumn<QStringList>("versionRows");
    QTest::newRow("earlier date") << QStringList{
        "INSERT INTO dbversion VALUES ('2015-03-01 00:00:00')"};
    QTest::newRow("one second before")
        << QStringList{"INSERT INTO dbversion VALUES ('2016-08-14 23:59:59')"};
    QTest::newRow("empty version table") << QStringList{};
}

void TestSettingsDatabase::olderVersionIsUpgraded() {
    QFETCH(QStringList, versionRows);
    TempFolder folder;
    const QString path = folder.file("sqlback.mdb");
    QStringList setup = {
        baseJobTable + ", ZIP_Dateiname nvarchar(50), FTP_SSL INTEGER, FTP_Passiv INTEGER)",
        "CREATE TABLE benutzerdaten (ID INTEGER PRIMARY KEY AUTOINCREMENT, VersenderName "
        "nvarchar(50))",
        "CREATE TABLE dbversion (DBVERSION DATETIME NOT NULL PRIMARY KEY)",
        "INSERT INTO sqldatenbanken VALUES ('A', 'srv', 'sa', 'pw', 'keep', 2, NULL)",
        "INSERT INTO sqldatenbanken VALUES ('B', 'srv', 'sa', 'pw', NULL, NULL, 1)",
        "INSERT INTO benutzerdaten (VersenderName) VALUES ('Firma')",
    };
    QVERIFY(exec(path, setup + versionRows));

    MemoryLog log;
    SettingsDatabase db(log, folder.path());
    db.checkdatabase();

    QCOMPARE(log.lines, connectedLines);
    // Added columns come after the ones the table had.
    QCOMPARE(sorted(columns(path, "sqldatenbanken")), sorted(fullJobColumns));
    QCOMPARE(columns(path, "benutzerdaten"), fullGeneralColumns);
    QCOMPARE(rows(path, "SELECT DBName, ZIP_Dateiname, FTP_SSL, FTP_Passiv, FTP_Binary, FTP_Port "
                        "FROM sqldatenbanken"),
             (QStringList{"A|keep|2|0|0|NULL", "B|NULL|0|1|0|NULL"}));
    QCOMPARE(rows(path, "SELECT ID, VersenderName FROM benutzerdaten"), QStringList{"1|Firma"});
    QCOMPARE(rows(path, "SELECT DBVERSION FROM dbversion"), QStringList{"2016-08-15 00:00:00"});
    QCOMPARE(db.queryDatenbanken.recordCount(), 2);
    QCOMPARE(db.queryDatenbanken.field("FTP_Binary").value(), QVariant(0));
}

void TestSettingsDatabase::tablesWithoutVersionTable() {
    TempFolder folder;
    const QString path = folder.file("sqlback.mdb");
    QVERIFY(exec(path, {baseJobTable + ")",
                        "CREATE TABLE benutzerdaten (ID INTEGER PRIMARY KEY AUTOINCREMENT)",
                        "INSERT INTO sqldatenbanken VALUES ('Lager', 'srv\\SQL', 'sa', 'geheim')",
                        "INSERT INTO benutzerdaten DEFAULT VALUES"}));

    MemoryLog log;
    SettingsDatabase db(log, folder.path());
    db.checkdatabase();

    QCOMPARE(log.lines, connectedLines);
    QCOMPARE(rows(path, "SELECT DBVERSION FROM dbversion"), QStringList{"2016-08-15 00:00:00"});
    QCOMPARE(columns(path, "sqldatenbanken"), fullJobColumns);
    QCOMPARE(columns(path, "benutzerdaten"), fullGeneralColumns);
    QCOMPARE(rows(path, "SELECT DBName, DBServer, DBPasswort, FTP_SSL FROM sqldatenbanken"),
             QStringList{"Lager|srv\\SQL|geheim|0"});
    QCOMPARE(rows(path, "SELECT count(*) FROM benutzerdaten"), QStringList{"1"});
}

void TestSettingsDatabase::noConnection_data() {
    QTest::addColumn<QByteArray>("fileKey");     // the file is made with this key …
    QTest::addColumn<QByteArray>("fileContent"); // … or holds these bytes (neither: no file)
    QTest::addColumn<QString>("ownLine");        // a line before the two, naming the file

    QByteArray random(8192, '\0');
    quint32 x = 2463534242u; // xorshift: the same bytes every run
    for (char& c : random) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = char(x);
    }
    // An empty ZIP archive: just its end record.
    const QByteArray zip = QByteArray("PK\x05\x06", 4) + QByteArray(18, '\0');

    QTest::newRow("wrong password") << QByteArray("falsch") << QByteArray() << QString();
    QTest::newRow("plain database without password") << QByteArray() << QByteArray() << QString();
    QTest::newRow("not a database") << QByteArray() << QByteArray(4096, 'x') << QString();
    QTest::newRow("random bytes") << QByteArray() << random << QString();
    QTest::newRow("a ZIP archive") << QByteArray() << zip << QString();
    QTest::newRow("zero bytes") << QByteArray("0") << QByteArray()
                                << QStringLiteral("Die Datei %1 ist leer und keine "
                                                  "Einstellungsdatenbank");
    QTest::newRow("no file") << QByteArray("-") << QByteArray() << QString();
}

// A file that cannot be opened is never written to, emptied or made anew.
void TestSettingsDatabase::noConnection() {
    QFETCH(QByteArray, fileKey);
    QFETCH(QByteArray, fileContent);
    QFETCH(QString, ownLine);
    TempFolder folder;
    const QString path = folder.file("sqlback.mdb");
    if (!fileContent.isEmpty() || fileKey == "0") {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(fileContent);
    } else if (fileKey != "-") {
        QVERIFY(exec(path, {baseJobTable + ")"}, fileKey));
    }
    const QByteArray before = fileBytes(path);
    const bool existed = QFileInfo::exists(path);

    MemoryLog log;
    SettingsDatabase db(log, folder.path());
    db.checkdatabase();

    QCOMPARE(log.lines,
             ownLine.isEmpty() ? failedLines : QStringList{ownLine.arg(path)} + failedLines);
    QVERIFY(!db.ADOConnection1.connected());
    QVERIFY(!db.queryDatenbanken.isOpen());
    QVERIFY(!db.queryBenutzerdaten.isOpen());
    QCOMPARE(fileBytes(path), before); // nothing written to a file that is not ours to read
    QCOMPARE(QFileInfo::exists(path), existed);
    QCOMPARE(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden | QDir::System),
             existed ? QStringList{"sqlback.mdb"} : QStringList());
    // Whatever later needs the settings fails with an error it can log, not a crash.
    QVERIFY_THROWS_EXCEPTION(ProgramError, db.queryDatenbanken.field("DBName"));
    QVERIFY_THROWS_EXCEPTION(ProgramError, db.queryDatenbanken.open());
    QVERIFY_THROWS_EXCEPTION(ProgramError, db.queryBenutzerdaten.edit());
}

void TestSettingsDatabase::briefLockIsWaitedFor() {
    TempFolder folder;
    const QString path = folder.file("sqlback.mdb");
    QVERIFY(SettingsDatabase::CreateAccessDatabase(path));

    std::latch locked(1);
    std::thread other([&] {
        sqlite3* raw = openRaw(path);
        sqlite3_exec(raw, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr);
        locked.count_down();
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
        sqlite3_exec(raw, "COMMIT", nullptr, nullptr, nullptr);
        sqlite3_close(raw);
    });
    locked.wait();

    MemoryLog log;
    SettingsDatabase db(log, folder.path());
    db.checkdatabase();
    other.join();

    QCOMPARE(log.lines, connectedLines);
    QCOMPARE(db.queryBenutzerdaten.recordCount(), 1);
}

void TestSettingsDatabase::lockOutlastingTheWaitIsNoConnection() {
    TempFolder folder;
    const QString path = folder.file("sqlback.mdb");
    QVERIFY(SettingsDatabase::CreateAccessDatabase(path));
    sqlite3* other = openRaw(path);
    QCOMPARE(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);

    MemoryLog log;
    SettingsDatabase db(log, folder.path());
    db.ADOConnection1.setBusyTimeoutMs(200);
    db.checkdatabase();
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);

    QCOMPARE(log.lines, failedLines);
}

// Another program (here the sqlcipher shell) holds a write transaction: the file can still be
// read, but nothing could be stored, so there is no connection; the file keeps what it held.
void TestSettingsDatabase::writeTransactionOfAnotherProcessIsNoConnection() {
    TempFolder folder;
    const QString path = folder.file("sqlback.mdb");
    MemoryLog setupLog;
    {
        QVERIFY(SettingsDatabase::CreateAccessDatabase(path));
        SettingsDatabase db(setupLog, folder.path());
        db.checkdatabase();
    }
    const QStringList jobsBefore = rows(path, "SELECT count(*) FROM benutzerdaten");

    QProcess shell;
    shell.start(QStringLiteral("sqlcipher"), {path});
    QVERIFY2(shell.waitForStarted(), "the sqlcipher shell is needed");
    shell.write("PRAGMA key='kodiak47';\nBEGIN IMMEDIATE;\n"
                "INSERT INTO benutzerdaten (VersenderName) VALUES ('fremd');\n");
    // The shell says nothing: the lock shows when a write of our own is turned away.
    const auto lockedByShell = [&path] {
        sqlite3* probe = openRaw(path);
        const int rc = sqlite3_exec(probe, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
        sqlite3_exec(probe, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close(probe);
        return rc == SQLITE_BUSY;
    };
    QTRY_VERIFY_WITH_TIMEOUT(lockedByShell(), 10000);

    MemoryLog log;
    SettingsDatabase db(log, folder.path());
    db.ADOConnection1.setBusyTimeoutMs(300);
    db.checkdatabase();
    QCOMPARE(log.lines, failedLines);
    QVERIFY(!db.ADOConnection1.connected());

    shell.write("ROLLBACK;\n.quit\n");
    shell.closeWriteChannel();
    QVERIFY(shell.waitForFinished(10000));
    QCOMPARE(rows(path, "SELECT count(*) FROM benutzerdaten"), jobsBefore);
}

void TestSettingsDatabase::unreadableVersionTableRaises() {
    TempFolder folder;
    const QString path = folder.file("sqlback.mdb");
    // A view takes the version table's name: it cannot be created, and the view cannot be edited.
    QVERIFY(exec(path, {"CREATE VIEW dbversion AS SELECT '2016-08-15 00:00:00' AS DBVERSION"}));

    MemoryLog log;
    SettingsDatabase db(log, folder.path());
    QVERIFY_THROWS_EXCEPTION(ProgramError, db.checkdatabase());
    QCOMPARE(log.lines, QStringList{"Einstellungsdatenbank verbunden"});
    QVERIFY(!db.queryBenutzerdaten.isOpen());
    QVERIFY(!db.queryDatenbanken.isOpen());
}

void TestSettingsDatabase::pendingChangesStoredOnClose() {
    TempFolder folder;
    MemoryLog log;
    SettingsDatabase db(log, folder.path());
    QVERIFY(SettingsDatabase::CreateAccessDatabase(db.databasePath()));
    db.checkdatabase();
    db.postPendingChanges(); // nothing pending

    db.queryBenutzerdaten.edit();
    db.queryBenutzerdaten.field("EmpfaengerEmail").setValue("admin@example.com");
    db.queryDatenbanken.append();
    db.queryDatenbanken.field("DBName").setValue("Lager");
    // The job lacks its server: it is refused, and the general settings after it wait.
    QVERIFY_THROWS_EXCEPTION(ProgramError, db.postPendingChanges());
    QCOMPARE(db.queryDatenbanken.state(), DatasetState::Insert);
    QCOMPARE(db.queryBenutzerdaten.state(), DatasetState::Edit);
    QCOMPARE(rows(db.databasePath(), "SELECT EmpfaengerEmail FROM benutzerdaten"),
             QStringList{"NULL"});

    db.queryDatenbanken.field("DBServer").setValue("srv");
    db.queryDatenbanken.field("DBBenutzer").setValue("sa");
    db.queryDatenbanken.field("DBPasswort").setValue("pw");
    db.postPendingChanges();
    QVERIFY(!db.queryDatenbanken.hasPendingChanges());
    QVERIFY(!db.queryBenutzerdaten.hasPendingChanges());
    QCOMPARE(rows(db.databasePath(), "SELECT DBName FROM sqldatenbanken"), QStringList{"Lager"});
    QCOMPARE(rows(db.databasePath(), "SELECT EmpfaengerEmail FROM benutzerdaten"),
             QStringList{"admin@example.com"});

    // Without a connection the datasets are closed and there is nothing to store.
    db.ADOConnection1.close();
    db.postPendingChanges();
}

void TestSettingsDatabase::upgradeBlockedByLockIsNotMarkedDone() {
    TempFolder folder;
    const QString path = folder.file("sqlback.mdb");
    QVERIFY(exec(path, {baseJobTable + ")",
                        "CREATE TABLE benutzerdaten (ID INTEGER PRIMARY KEY AUTOINCREMENT)",
                        "CREATE TABLE dbversion (DBVERSION DATETIME NOT NULL PRIMARY KEY)",
                        "INSERT INTO dbversion VALUES ('2015-01-01 00:00:00')",
                        "INSERT INTO benutzerdaten DEFAULT VALUES"}));
    // Another program starts writing to the file once the connection is made, while the schema
    // statements run, and is done just after.
    sqlite3* other = openRaw(path);
    int lockTaken = SQLITE_ERROR;
    auto release = [&] {
        if (other) {
            sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
            sqlite3_close(other);
            other = nullptr;
        }
    };

    MemoryLog log;
    SettingsDatabase db(log, folder.path());
    db.ADOConnection1.setBusyTimeoutMs(50);
    int opened = 0;
    db.queryVersion.subscribe([&](DatasetEvent e, int) {
        if (e != DatasetEvent::StateChanged || !db.queryVersion.isOpen())
            return;
        if (++opened == 1)
            lockTaken = sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
        else if (opened == 2)
            release();
    });
    const QString refused = [&] {
        try {
            db.checkdatabase();
        } catch (const ProgramError& e) {
            return e.message();
        }
        return QString();
    }();
    release();

    // The version must not claim an upgrade that did not happen: the next start does it.
    QCOMPARE(lockTaken, SQLITE_OK);
    QVERIFY2(refused.contains("database is locked"), qPrintable(refused));
    QCOMPARE(rows(path, "SELECT DBVERSION FROM dbversion"), QStringList{"2015-01-01 00:00:00"});
    MemoryLog log2;
    SettingsDatabase next(log2, folder.path());
    next.checkdatabase();
    QCOMPARE(columns(path, "sqldatenbanken"), fullJobColumns);
    QCOMPARE(rows(path, "SELECT DBVERSION FROM dbversion"), QStringList{"2016-08-15 00:00:00"});
}

void TestSettingsDatabase::dbbefehlTranslatesAndExecutes() {
    TempFolder folder;
    MemoryLog log;
    SettingsDatabase db(log, folder.path());
    QVERIFY(SettingsDatabase::CreateAccessDatabase(db.databasePath()));
    db.checkdatabase();
    log.lines.clear();

    db.dbbefehl("CREATE TABLE dbo.x (a NTEXT, b DATETIME DEFAULT GETDATE())");
    db.dbbefehl("CREATE TABLE dbo.y (ID INTEGER IDENTITY(1,1) PRIMARY KEY, v nvarchar(10))");
    db.dbbefehl("INSERT INTO dbo.x (a) VALUES ('0123')");
    db.dbbefehl("INSERT INTO y (v) VALUES ('eins')");
    db.dbbefehl("INSERT INTO y (v) VALUES ('zwei')");

    QCOMPARE(columns(db.databasePath(), "x"), (QStringList{"a TEXT 0 0", "b DATETIME 0 0"}));
    // Text stays text, and the default is today at midnight.
    const QString today = QDate::currentDate().toString("yyyy-MM-dd") + " 00:00:00";
    QCOMPARE(rows(db.databasePath(), "SELECT a, b FROM x"), QStringList{"0123|" + today});
    QCOMPARE(rows(db.databasePath(), "SELECT ID, v FROM y"), (QStringList{"1|eins", "2|zwei"}));
    QVERIFY(log.lines.isEmpty());
}

void TestSettingsDatabase::dbbefehlDropsFailures_data() {
    QTest::addColumn<QString>("statement");
    QTest::newRow("lower-case getdate") << "CREATE TABLE z (b DATETIME DEFAULT getdate())";
    QTest::newRow("column already there") << "ALTER TABLE sqldatenbanken ADD FTP_SSL INTEGER";
    QTest::newRow("not SQL") << "das ist kein Befehl";
    QTest::newRow("empty") << "";
    QTest::newRow("two statements") << "CREATE TABLE z (a INTEGER); DROP TABLE sqldatenbanken";
}

void TestSettingsDatabase::dbbefehlDropsFailures() {
    QFETCH(QString, statement);
    TempFolder folder;
    MemoryLog log;
    SettingsDatabase db(log, folder.path());
    QVERIFY(SettingsDatabase::CreateAccessDatabase(db.databasePath()));
    db.checkdatabase();
    const QStringList schema =
        rows(db.databasePath(), "SELECT sql FROM sqlite_master ORDER BY name");
    log.lines.clear();

    db.dbbefehl(statement);

    QVERIFY(log.lines.isEmpty());
    QCOMPARE(rows(db.databasePath(), "SELECT sql FROM sqlite_master ORDER BY name"), schema);
    QVERIFY(db.queryDatenbanken.isOpen());
}

QTEST_GUILESS_MAIN(TestSettingsDatabase)
#include "tst_settingsdatabase.moc"
