#include "ClosedPort.h"
#include "FreeTdsTestConfig.h"
#include "LineMatch.h"
#include "MemoryLog.h"
#include "TdsTestServer.h"
#include "TempFolder.h"
#include "backup/SqlMaintenance.h"
#include "platform/ErrorCount.h"
#include "platform/ProgramError.h"
#include "sqlserver/SqlDbProcess.h"

#include <QJsonArray>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

namespace {

QString lit(const char* utf8) {
    return QString::fromUtf8(utf8);
}

int backupSets(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    return int(f.readAll().count("ORVELSIMBACKUP01"));
}

QJsonObject fileRow(int id, int type, const QString& name, int size) {
    return QJsonObject{{QStringLiteral("file_id"), id},
                       {QStringLiteral("type"), type},
                       {QStringLiteral("name"), name},
                       {QStringLiteral("size"), size}};
}

QJsonObject withDatabase(const QString& name, const QString& model, const QJsonArray& files = {}) {
    QJsonObject scenario = TdsTestServer::defaultScenario();
    QJsonObject db =
        scenario[QStringLiteral("databases")].toObject()[QStringLiteral("Lager")].toObject();
    db[QStringLiteral("recovery_model")] = model;
    if (!files.isEmpty())
        db[QStringLiteral("files")] = files;
    scenario[QStringLiteral("databases")] = QJsonObject{{name, db}};
    return scenario;
}

// The statements that reached the server, without the probes the client library sends.
QStringList maintenanceBatches(const QStringList& batches) {
    QStringList result;
    for (const QString& b : batches)
        if (b.startsWith(QLatin1String("BACKUP")) || b.startsWith(QLatin1String("DBCC")) ||
            b.startsWith(QLatin1String("RESTORE")) ||
            b.startsWith(QLatin1String("SELECT Name")) ||
            b.startsWith(QLatin1String("select * from")))
            result.append(b);
    return result;
}

// Every expected entry must come in this order; one starting with '~' only has to be
// contained in its line, the others must match the whole line.
} // namespace

class TestSqlMaintenance : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanRun_data();
    void cleanRun();
    void failures_data();
    void failures();
    void backupCheck_data();
    void backupCheck();
    void lastDataFileReadIsShrunk();
    void oldBackupFilesGoBeforeTheBackup();
    void failedBackupLeavesNoPartialFile_data();
    void failedBackupLeavesNoPartialFile();
    void statementTimeoutIsCountedAndJobGoesOn();
    void awkwardNamesWorkEndToEnd_data();
    void awkwardNamesWorkEndToEnd();
    void secondStartDuringAJobIsRefused();
    void connectionTest_data();
    void connectionTest();
    void encryptionLines_data();
    void encryptionLines();

private:
    BackupJob job(const QString& db = QStringLiteral("Lager"),
                  const QString& password = QStringLiteral("geheim")) const {
        BackupJob j;
        j.DBName = db;
        j.DBServer = m_server.dataSource();
        j.DBBenutzer = QStringLiteral("sa");
        j.DBPasswort = password;
        return j;
    }

    FreeTdsTestConfig m_conf;
    TdsTestServer m_server;
};

void TestSqlMaintenance::initTestCase() {
    QVERIFY(m_conf.install());
}

void TestSqlMaintenance::cleanRun_data() {
    QTest::addColumn<QString>("model");
    QTest::newRow("FULL") << QStringLiteral("FULL");
    QTest::newRow("SIMPLE") << QStringLiteral("SIMPLE");
    QTest::newRow("BULK_LOGGED") << QStringLiteral("BULK_LOGGED");
}

void TestSqlMaintenance::cleanRun() {
    QFETCH(QString, model);
    QVERIFY2(m_server.start(withDatabase(QStringLiteral("Lager"), model)),
             qPrintable(m_server.errorText()));
    TempFolder folder;
    MemoryLog log;
    ErrorCount errors;
    errors.add(2); // earlier failures of the run stay counted
    SqlMaintenance maintenance(log, errors, folder.path());

    maintenance.arbeitsprozess(job(), BackupFolders::inProgramFolder(folder.path()));

    const bool full = model == QLatin1String("FULL");
    const QString db = QStringLiteral("Lager");
    QStringList expected{lit("Arbeitsprozess beginn für Datenbank: ") + db,
                         lit("Verbunden mit Datenbank: ") + db,
                         lit("Hole Wiederherstellungsmodell für Datenbank: ") + db,
                         lit("Wiederherstellungsmodell für Datenbank: ") + db + lit(" ist ") +
                             model,
                         lit("Hole Datei-Identifikation für Datenbank: ") + db,
                         lit("FileID für Datenbank: 1"),
                         lit("Dateigröße für Datenbank: 8192 KB"),
                         lit("FileID für Protokoll: 2"),
                         lit("Dateigröße für Protokoll: 1024 KB"),
                         lit("Starte Backup für Datenbank: ") + db,
                         lit("Backup abgeschlossen für Datenbank: ") + db,
                         lit("Starte Datenbankprüfung für Datenbank: ") + db,
                         lit("Datenbankprüfung abgeschlossen für Datenbank: ") + db,
                         lit("Starte Dateiverkleinerung für DB-FILE für Datenbank: ") + db,
                         lit("DB-FILE Verkleinerung abgeschlossen für Datenbank: ") + db};
    if (full)
        expected << lit("Starte Backup LOG für Datenbank: ") + db
                 << lit("Backup LOG abgeschlossen für Datenbank: ") + db;
    else
        expected << lit("Backup LOG übersprungen für Datenbank: ") + db;
    expected << lit("Starte Dateiverkleinerung für LOG-FILE für Datenbank: ") + db
             << lit("LOG-FILE Verkleinerung abgeschlossen für Datenbank: ") + db
             << lit("Arbeitsprozess abgeschlossen für Datenbank: ") + db;
    if (full)
        expected << lit("Starte Backup2 LOG für Datenbank: ") + db
                 << lit("Backup2 LOG abgeschlossen für Datenbank: ") + db;
    else
        expected << lit("Backup2 LOG übersprungen für Datenbank: ") + db;
    expected << lit("Starte Dateiverkleinerung2 für LOG-FILE für Datenbank: ") + db
             << lit("LOG-FILE Verkleinerung2 abgeschlossen für Datenbank: ") + db
             << lit("Arbeitsprozess abgeschlossen für Datenbank: ") + db;
    QCOMPARE(log.lines, expected);
    QCOMPARE(errors.value(), 2);
    QVERIFY(log.processed > 0);

    // The statements exactly: no WITH clause, bare file ids.
    const QString bak = folder.file(QStringLiteral("Lager.BAK"));
    const QString trn = folder.file(QStringLiteral("Lager.TRN"));
    QStringList statements{
        QStringLiteral("SELECT Name, recovery_model_desc FROM sys.databases WHERE name='Lager'"),
        QStringLiteral("select * from sys.database_files"),
        QStringLiteral("BACKUP DATABASE [Lager] TO DISK='%1'").arg(bak),
        QStringLiteral("DBCC CHECKDB ([Lager])"), QStringLiteral("DBCC SHRINKFILE (1)")};
    if (full)
        statements << QStringLiteral("BACKUP LOG [Lager] TO DISK='%1'").arg(trn);
    statements << QStringLiteral("DBCC SHRINKFILE (2)");
    if (full)
        statements << QStringLiteral("BACKUP LOG [Lager] TO DISK='%1'").arg(trn);
    statements << QStringLiteral("DBCC SHRINKFILE (2)");
    QCOMPARE(maintenanceBatches(m_server.batches()), statements);

    QCOMPARE(maintenance.fullBackupFile(), bak);
    QCOMPARE(maintenance.logBackupFile(), trn);
    QCOMPARE(backupSets(bak), 1);
    if (full)
        QCOMPARE(backupSets(trn), 2);
    else
        QVERIFY(!QFile::exists(trn));
}

void TestSqlMaintenance::failures_data() {
    QTest::addColumn<QString>("db");
    QTest::addColumn<QString>("password");
    QTest::addColumn<bool>("unreachable");
    QTest::addColumn<QJsonArray>("fail");
    QTest::addColumn<int>("added");
    QTest::addColumn<QStringList>("inOrder");

    const QJsonArray none;
    const QStringList unusable{
        lit("~") /* the error message line */,
        lit("FEHLER nicht verbunden mit Datenbank: Lager"),
        lit("Hole Wiederherstellungsmodell für Datenbank: Lager"),
        lit("~"),
        lit("FEHLER: Wiederherstellungsmodell kann nicht abgerufen werden für Datenbank: Lager"),
        lit("Hole Datei-Identifikation für Datenbank: Lager"),
        lit("~"),
        lit("FEHLER beim Holen der Datei-Identifikation für Datenbank: Lager"),
        lit("FileID für Datenbank: "),
        lit("Dateigröße für Datenbank: 0 KB"),
        lit("FileID für Protokoll: "),
        lit("Dateigröße für Protokoll: 0 KB"),
        lit("FEHLER bei Backup für Datenbank: Lager"),
        lit("FEHLER bei Datenbankprüfung für Datenbank: Lager"),
        lit("FEHLER bei DB-FILE Verkleinerung für Datenbank: Lager"),
        lit("Backup LOG übersprungen für Datenbank: Lager"),
        lit("FEHLER bei LOG-FILE Verkleinerung für Datenbank: Lager"),
        lit("Arbeitsprozess abgeschlossen für Datenbank: Lager"),
        lit("Backup2 LOG übersprungen für Datenbank: Lager"),
        lit("FEHLER bei LOG-FILE Verkleinerung2 für Datenbank: Lager"),
        lit("Arbeitsprozess abgeschlossen für Datenbank: Lager")};

    QStringList unreachable = unusable;
    unreachable[0] = lit("~Unable to connect: Adaptive Server is unavailable or does not exist");
    QTest::newRow("nothing listening")
        << QStringLiteral("Lager") << QStringLiteral("geheim") << true << none << 8 << unreachable;
    QStringList refused = unusable;
    refused[0] = lit("~Login failed for user 'sa'.");
    refused[3] = refused[0];
    refused[6] = refused[0];
    QTest::newRow("login refused")
        << QStringLiteral("Lager") << QStringLiteral("falsch") << false << none << 8 << refused;

    QTest::newRow("database missing")
        << QStringLiteral("Fehlt") << QStringLiteral("geheim") << false << none << 7
        << QStringList{lit("~Cannot open database \"Fehlt\" requested by the login."),
                       lit("FEHLER nicht verbunden mit Datenbank: Fehlt"),
                       lit("Wiederherstellungsmodell für Datenbank: Fehlt ist "),
                       lit("FEHLER beim Holen der Datei-Identifikation für Datenbank: Fehlt"),
                       lit("FEHLER bei Backup für Datenbank: Fehlt"),
                       lit("FEHLER bei Datenbankprüfung für Datenbank: Fehlt"),
                       lit("FEHLER bei DB-FILE Verkleinerung für Datenbank: Fehlt"),
                       lit("Backup LOG übersprungen für Datenbank: Fehlt"),
                       lit("FEHLER bei LOG-FILE Verkleinerung für Datenbank: Fehlt"),
                       lit("Backup2 LOG übersprungen für Datenbank: Fehlt"),
                       lit("FEHLER bei LOG-FILE Verkleinerung2 für Datenbank: Fehlt")};

    QTest::newRow("file query fails: shrinks go out with empty ids")
        << QStringLiteral("Lager") << QStringLiteral("geheim") << false
        << QJsonArray{QJsonObject{
               {QStringLiteral("match"), QStringLiteral("sys.database_files")},
               {QStringLiteral("number"), 229},
               {QStringLiteral("severity"), 14},
               {QStringLiteral("message"), QStringLiteral("The SELECT permission was denied.")}}}
        << 4
        << QStringList{lit("Wiederherstellungsmodell für Datenbank: Lager ist FULL"),
                       lit("The SELECT permission was denied."),
                       lit("FEHLER beim Holen der Datei-Identifikation für Datenbank: Lager"),
                       lit("FileID für Datenbank: "),
                       lit("Dateigröße für Datenbank: 0 KB"),
                       lit("Backup abgeschlossen für Datenbank: Lager"),
                       lit("~Incorrect syntax near ')'."),
                       lit("FEHLER bei DB-FILE Verkleinerung für Datenbank: Lager"),
                       lit("Backup LOG abgeschlossen für Datenbank: Lager"),
                       lit("~Incorrect syntax near ')'."),
                       lit("FEHLER bei LOG-FILE Verkleinerung für Datenbank: Lager"),
                       lit("Backup2 LOG abgeschlossen für Datenbank: Lager"),
                       lit("~Incorrect syntax near ')'."),
                       lit("FEHLER bei LOG-FILE Verkleinerung2 für Datenbank: Lager")};

    QTest::newRow("integrity check fails with the server's text")
        << QStringLiteral("Lager") << QStringLiteral("geheim") << false
        << QJsonArray{QJsonObject{{QStringLiteral("match"), QStringLiteral("DBCC CHECKDB")},
                                  {QStringLiteral("number"), 8921},
                                  {QStringLiteral("severity"), 16},
                                  {QStringLiteral("message"),
                                   QStringLiteral("Check terminated. A failure was detected.")}}}
        << 1
        << QStringList{lit("Starte Datenbankprüfung für Datenbank: Lager"),
                       lit("Check terminated. A failure was detected."),
                       lit("FEHLER bei Datenbankprüfung für Datenbank: Lager"),
                       lit("Starte Dateiverkleinerung für DB-FILE für Datenbank: Lager"),
                       lit("DB-FILE Verkleinerung abgeschlossen für Datenbank: Lager")};
}

void TestSqlMaintenance::failures() {
    QFETCH(QString, db);
    QFETCH(QString, password);
    QFETCH(bool, unreachable);
    QFETCH(QJsonArray, fail);
    QFETCH(int, added);
    QFETCH(QStringList, inOrder);

    QJsonObject scenario = TdsTestServer::defaultScenario();
    scenario[QStringLiteral("fail")] = fail;
    QVERIFY2(m_server.start(scenario), qPrintable(m_server.errorText()));
    TempFolder folder;
    MemoryLog log;
    ErrorCount errors;
    errors.add(5);
    SqlMaintenance maintenance(log, errors, folder.path());
    BackupJob j = job(db, password);
    if (unreachable)
        j.DBServer = QStringLiteral("127.0.0.1,%1").arg(closedPort());

    maintenance.arbeitsprozess(j, BackupFolders::inProgramFolder(folder.path()));

    const QString missing = missingInOrder(log.lines, inOrder);
    QVERIFY2(missing.isEmpty(), qPrintable(missing));
    QCOMPARE(errors.value(), 5 + added);
    // Every FEHLER line follows a line with the failure's own text.
    for (qsizetype i = 0; i < log.lines.size(); ++i)
        if (log.lines[i].startsWith(QLatin1String("FEHLER"))) {
            QVERIFY(i > 0);
            QVERIFY2(!log.lines[i - 1].isEmpty() &&
                         !log.lines[i - 1].startsWith(QLatin1String("Starte")),
                     qPrintable(log.lines[i - 1]));
        }
    QCOMPARE(
        int(std::count_if(log.lines.cbegin(), log.lines.cend(),
                          [](const QString& l) { return l.startsWith(QLatin1String("FEHLER")); })),
        added);
}

void TestSqlMaintenance::backupCheck_data() {
    QTest::addColumn<QString>("ini");   // the INI file's text; empty: no file
    QTest::addColumn<QString>("model");
    QTest::addColumn<bool>("damaged");  // the server finds the backup sets damaged
    QTest::addColumn<bool>("checked");  // the check is expected to run

    const QString on = QStringLiteral("[OrvelSQLBackup]\r\nInternet=1\r\nVerifyBackup=1\r\n");
    QTest::newRow("on, FULL") << on << "FULL" << false << true;
    QTest::newRow("on, SIMPLE") << on << "SIMPLE" << false << true;
    QTest::newRow("on, key spelled otherwise")
        << QStringLiteral("[orvelsqlbackup]\nverifybackup = 1\n") << "FULL" << false << true;
    QTest::newRow("on, the server finds damage") << on << "FULL" << true << true;
    QTest::newRow("off: 0") << QStringLiteral("[OrvelSQLBackup]\nVerifyBackup=0\n") << "FULL"
                            << false << false;
    QTest::newRow("off: ja") << QStringLiteral("[OrvelSQLBackup]\nVerifyBackup=ja\n") << "FULL"
                             << false << false;
    QTest::newRow("off: other section")
        << QStringLiteral("[Andere]\nVerifyBackup=1\n") << "FULL" << false << false;
    QTest::newRow("off: no INI file") << QString() << "FULL" << false << false;
}

void TestSqlMaintenance::backupCheck() {
    QFETCH(QString, ini);
    QFETCH(QString, model);
    QFETCH(bool, damaged);
    QFETCH(bool, checked);

    QJsonObject scenario = withDatabase(QStringLiteral("Lager"), model);
    QJsonObject databases = scenario[QStringLiteral("databases")].toObject();
    QJsonObject lager = databases[QStringLiteral("Lager")].toObject();
    lager[QStringLiteral("verify_fails")] = damaged;
    databases[QStringLiteral("Lager")] = lager;
    scenario[QStringLiteral("databases")] = databases;
    QVERIFY2(m_server.start(scenario), qPrintable(m_server.errorText()));
    TempFolder folder;
    const QString iniPath = folder.file(QStringLiteral("OrvelSQLBackup.INI"));
    if (!ini.isEmpty()) {
        QFile f(iniPath);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(ini.toUtf8());
    }
    MemoryLog log;
    ErrorCount errors;
    SqlMaintenance maintenance(log, errors, folder.path());
    maintenance.setIniFile(iniPath);

    maintenance.arbeitsprozess(job(), BackupFolders::inProgramFolder(folder.path()));

    const bool full = model == QLatin1String("FULL");
    const QString bak = folder.file(QStringLiteral("Lager.BAK"));
    const QString trn = folder.file(QStringLiteral("Lager.TRN"));
    const QString with = checked ? QStringLiteral(" WITH CHECKSUM") : QString();
    QStringList statements{
        QStringLiteral("SELECT Name, recovery_model_desc FROM sys.databases WHERE name='Lager'"),
        QStringLiteral("select * from sys.database_files"),
        QStringLiteral("BACKUP DATABASE [Lager] TO DISK='%1'").arg(bak) + with};
    if (checked)
        statements << QStringLiteral("RESTORE VERIFYONLY FROM DISK='%1' WITH CHECKSUM").arg(bak);
    statements << QStringLiteral("DBCC CHECKDB ([Lager])") << QStringLiteral("DBCC SHRINKFILE (1)");
    for (int set = 1; set <= 2; ++set) {
        if (full) {
            statements << QStringLiteral("BACKUP LOG [Lager] TO DISK='%1'").arg(trn) + with;
            if (checked)
                statements << QStringLiteral(
                                  "RESTORE VERIFYONLY FROM DISK='%1' WITH FILE = %2, CHECKSUM")
                                  .arg(trn)
                                  .arg(set);
        }
        statements << QStringLiteral("DBCC SHRINKFILE (2)");
    }
    QCOMPARE(maintenanceBatches(m_server.batches()), statements);

    // Each check follows its backup's success line; a damaged set is the check's failure,
    // counted, with the server's text before it.
    const QString db = QStringLiteral("Lager");
    const QStringList checkLines =
        damaged ? QStringList{QStringLiteral("~RESTORE detected an error"),
                              lit("FEHLER bei Backup-Prüfung für Datenbank: ") + db}
                : QStringList{lit("Backup geprüft für Datenbank: ") + db};
    QStringList inOrder{lit("Backup abgeschlossen für Datenbank: ") + db};
    if (checked)
        inOrder << lit("Prüfe Backup für Datenbank: ") + db << checkLines;
    inOrder << lit("Starte Datenbankprüfung für Datenbank: ") + db;
    if (full) {
        inOrder << lit("Backup LOG abgeschlossen für Datenbank: ") + db;
        if (checked)
            inOrder << lit("Prüfe Backup für Datenbank: ") + db << checkLines;
        inOrder << lit("Backup2 LOG abgeschlossen für Datenbank: ") + db;
        if (checked)
            inOrder << lit("Prüfe Backup für Datenbank: ") + db << checkLines;
    }
    const QString missing = missingInOrder(log.lines, inOrder);
    QVERIFY2(missing.isEmpty(), qPrintable(missing));
    const int checks = checked ? (full ? 3 : 1) : 0;
    QCOMPARE(log.lines.count(lit("Prüfe Backup für Datenbank: ") + db), checks);
    QCOMPARE(errors.value(), damaged ? checks : 0);
    // A damaged backup stays where it is: the check reports it, it does not take the only copy.
    QVERIFY(QFile::exists(bak));
}

void TestSqlMaintenance::lastDataFileReadIsShrunk() {
    const QJsonArray files{fileRow(1, 0, QStringLiteral("Lager"), 1024),
                           fileRow(2, 1, QStringLiteral("Lager_log"), 128),
                           fileRow(3, 0, QStringLiteral("Lager_2"), 256),
                           fileRow(65537, 2, QStringLiteral("Stream"), 64)};
    QVERIFY2(m_server.start(withDatabase(QStringLiteral("Lager"), QStringLiteral("SIMPLE"), files)),
             qPrintable(m_server.errorText()));
    TempFolder folder;
    MemoryLog log;
    ErrorCount errors;
    SqlMaintenance maintenance(log, errors, folder.path());
    maintenance.arbeitsprozess(job(), BackupFolders::inProgramFolder(folder.path()));

    const QString missing = missingInOrder(
        log.lines, {lit("FileID für Datenbank: 3"), lit("Dateigröße für Datenbank: 2048 KB"),
                    lit("FileID für Protokoll: 2"), lit("Dateigröße für Protokoll: 1024 KB")});
    QVERIFY2(missing.isEmpty(), qPrintable(missing));
    const QStringList statements = maintenanceBatches(m_server.batches());
    QVERIFY(statements.contains(QStringLiteral("DBCC SHRINKFILE (3)")));
    QVERIFY(!statements.contains(QStringLiteral("DBCC SHRINKFILE (1)")));
    QCOMPARE(errors.value(), 0);
}

// A failed backup must not leave last night's file in place to be packed as if it were new.
void TestSqlMaintenance::oldBackupFilesGoBeforeTheBackup() {
    QJsonObject scenario = TdsTestServer::defaultScenario();
    scenario[QStringLiteral("fail")] = QJsonArray{
        QJsonObject{{QStringLiteral("match"), QStringLiteral("BACKUP")},
                    {QStringLiteral("number"), 3201},
                    {QStringLiteral("severity"), 16},
                    {QStringLiteral("message"), QStringLiteral("Cannot open backup device.")}}};
    QVERIFY2(m_server.start(scenario), qPrintable(m_server.errorText()));
    TempFolder folder;
    for (const char* name : {"Lager.BAK", "Lager.TRN"}) {
        QFile old(folder.file(QString::fromLatin1(name)));
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("ORVELSIMBACKUP01 von gestern");
    }
    MemoryLog log;
    ErrorCount errors;
    SqlMaintenance maintenance(log, errors, folder.path());
    maintenance.arbeitsprozess(job(), BackupFolders::inProgramFolder(folder.path()));

    QVERIFY(!QFile::exists(folder.file(QStringLiteral("Lager.BAK"))));
    QVERIFY(!QFile::exists(folder.file(QStringLiteral("Lager.TRN"))));
    QCOMPARE(errors.value(), 3); // full backup and both log backups
}

void TestSqlMaintenance::failedBackupLeavesNoPartialFile_data() {
    QTest::addColumn<QString>("statement");
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("failureLine");
    QTest::addColumn<int>("trnSets");
    QTest::addColumn<int>("failures");
    QTest::newRow("full backup") << "BACKUP DATABASE"
                                 << "Lager.BAK"
                                 << "FEHLER bei Backup für Datenbank: Lager" << 2
                                 << 1; // the log backups still ran
    QTest::newRow("both log backups") << "BACKUP LOG"
                                      << "Lager.TRN"
                                      << "FEHLER bei Backup LOG für Datenbank: Lager" << 0 << 2;
}

// A server that wrote part of the file before failing must not leave it to be packed.
void TestSqlMaintenance::failedBackupLeavesNoPartialFile() {
    QFETCH(QString, statement);
    QFETCH(QString, file);
    QFETCH(QString, failureLine);
    QFETCH(int, trnSets);
    QFETCH(int, failures);
    QJsonObject scenario = TdsTestServer::defaultScenario();
    scenario[QStringLiteral("delay")] = QJsonArray{
        QJsonObject{{QStringLiteral("match"), statement}, {QStringLiteral("seconds"), 1}}};
    scenario[QStringLiteral("fail")] = QJsonArray{
        QJsonObject{{QStringLiteral("match"), statement},
                    {QStringLiteral("number"), 3202},
                    {QStringLiteral("severity"), 16},
                    {QStringLiteral("message"), QStringLiteral("Write on device failed.")}}};
    QVERIFY2(m_server.start(scenario), qPrintable(m_server.errorText()));
    TempFolder folder;
    const QString partialFile = folder.file(file);
    MemoryLog log;
    // Stands in for the server's half-written file while the statement runs.
    log.onEntry = [&](const QString& line) {
        if (!line.startsWith(QStringLiteral("Starte ")) ||
            !line.contains(statement == QLatin1String("BACKUP LOG") ? QStringLiteral("LOG für")
                                                                    : QStringLiteral("Backup für")))
            return;
        QTimer::singleShot(300, this, [partialFile] {
            QFile partial(partialFile);
            if (partial.open(QIODevice::WriteOnly))
                partial.write("ORVELSIMBACKUP01 halb");
        });
    };
    ErrorCount errors;
    SqlMaintenance maintenance(log, errors, folder.path());
    maintenance.arbeitsprozess(job(), BackupFolders::inProgramFolder(folder.path()));

    QVERIFY(log.lines.contains(failureLine));
    QVERIFY(!QFile::exists(partialFile));
    if (trnSets > 0)
        QCOMPARE(backupSets(folder.file(QStringLiteral("Lager.TRN"))), trnSets);
    QCOMPARE(errors.value(), failures);
}

void TestSqlMaintenance::statementTimeoutIsCountedAndJobGoesOn() {
    QJsonObject scenario = TdsTestServer::defaultScenario();
    scenario[QStringLiteral("delay")] =
        QJsonArray{QJsonObject{{QStringLiteral("match"), QStringLiteral("BACKUP DATABASE")},
                               {QStringLiteral("seconds"), 20}}};
    QVERIFY2(m_server.start(scenario), qPrintable(m_server.errorText()));
    TempFolder folder;
    MemoryLog log;
    ErrorCount errors;
    SqlMaintenance maintenance(log, errors, folder.path());
    QCOMPARE(maintenance.commandTimeout(), 3600);
    maintenance.setCommandTimeout(1);

    // The window keeps handling its events while the statement waits.
    int ticks = 0;
    QTimer timer;
    connect(&timer, &QTimer::timeout, this, [&] { ++ticks; });
    timer.start(20);
    maintenance.arbeitsprozess(job(), BackupFolders::inProgramFolder(folder.path()));
    timer.stop();

    const QString missing = missingInOrder(
        log.lines, {lit("Starte Backup für Datenbank: Lager"), lit("~Zeitüberschreitung"),
                    lit("FEHLER bei Backup für Datenbank: Lager"),
                    lit("Datenbankprüfung abgeschlossen für Datenbank: Lager"),
                    lit("LOG-FILE Verkleinerung2 abgeschlossen für Datenbank: Lager")});
    QVERIFY2(missing.isEmpty(), qPrintable(missing));
    QCOMPARE(errors.value(), 1);
    QVERIFY2(ticks >= 10, qPrintable(QString::number(ticks)));
}

void TestSqlMaintenance::awkwardNamesWorkEndToEnd_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("password");
    QTest::newRow("quotes, bracket, semicolon")
        << QStringLiteral("Lag'er]1") << QStringLiteral("ge;he'im\" ");
    QTest::newRow("beyond ASCII") << QStringLiteral("Łódź Größe") << QStringLiteral("pässwört");
}

void TestSqlMaintenance::awkwardNamesWorkEndToEnd() {
    QFETCH(QString, name);
    QFETCH(QString, password);
    QJsonObject scenario = withDatabase(name, QStringLiteral("FULL"));
    scenario[QStringLiteral("logins")] = QJsonObject{{QStringLiteral("sa"), password}};
    QVERIFY2(m_server.start(scenario), qPrintable(m_server.errorText()));
    TempFolder base;
    const QString folder = base.path() + QStringLiteral("O'Brien's Sicherung/");
    QVERIFY(QDir().mkpath(folder));
    MemoryLog log;
    ErrorCount errors;
    SqlMaintenance maintenance(log, errors, folder);

    maintenance.arbeitsprozess(job(name, password), BackupFolders::inProgramFolder(folder));

    QVERIFY2(errors.value() == 0, qPrintable(log.lines.join(QLatin1Char('\n'))));
    QVERIFY(log.lines.contains(lit("Wiederherstellungsmodell für Datenbank: ") + name +
                               lit(" ist FULL")));
    QCOMPARE(backupSets(folder + name + QStringLiteral(".BAK")), 1);
    QCOMPARE(backupSets(folder + name + QStringLiteral(".TRN")), 2);
}

// Clicks handled while a statement waits must not run a second job or a connection test on
// the same connection objects.
void TestSqlMaintenance::secondStartDuringAJobIsRefused() {
    QJsonObject scenario = TdsTestServer::defaultScenario();
    scenario[QStringLiteral("delay")] = QJsonArray{QJsonObject{
        {QStringLiteral("match"), QStringLiteral("DBCC CHECKDB")}, {QStringLiteral("seconds"), 1}}};
    QVERIFY2(m_server.start(scenario), qPrintable(m_server.errorText()));
    TempFolder folder;
    MemoryLog log;
    ErrorCount errors;
    SqlMaintenance maintenance(log, errors, folder.path());

    QStringList refusals;
    int linesBefore = -1;
    QTimer::singleShot(300, this, [&] {
        linesBefore = int(log.lines.size());
        for (int i = 0; i < 2; ++i) {
            try {
                if (i == 0)
                    maintenance.arbeitsprozess(job(), BackupFolders::inProgramFolder(folder.path()));
                else
                    maintenance.connectionTest(job());
            } catch (const ProgramError& e) {
                refusals.append(e.message());
            }
        }
        QCOMPARE(int(log.lines.size()), linesBefore); // the refused calls logged nothing
    });
    // Also between two steps, when the window handles its events without a statement waiting.
    bool triedBetweenSteps = false;
    log.onProcess = [&] {
        if (std::exchange(triedBetweenSteps, true))
            return;
        try {
            maintenance.connectionTest(job());
        } catch (const ProgramError& e) {
            refusals.append(e.message());
        }
    };
    maintenance.arbeitsprozess(job(), BackupFolders::inProgramFolder(folder.path()));

    QVERIFY(linesBefore > 0);
    QCOMPARE(refusals.size(), 3);
    QCOMPARE(errors.value(), 0);
    QCOMPARE(log.lines.count(lit("Arbeitsprozess beginn für Datenbank: Lager")), 1);
    QCOMPARE(backupSets(folder.file(QStringLiteral("Lager.TRN"))), 2);
    // Afterwards both work again.
    QCOMPARE(maintenance.connectionTest(job()), QStringLiteral("OK"));
}

void TestSqlMaintenance::connectionTest_data() {
    QTest::addColumn<QString>("db");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<int>("logins");

    QTest::newRow("works") << QStringLiteral("Lager") << QStringLiteral("geheim")
                           << QStringLiteral("OK") << 1;
    QTest::newRow("wrong password")
        << QStringLiteral("Lager") << QStringLiteral("falsch") << QStringLiteral("Erfolglos") << 0;
    QTest::newRow("no database set") << QString() << QStringLiteral("geheim")
                                     << QStringLiteral("keine Datenbank eingestellt") << 0;
}

void TestSqlMaintenance::connectionTest() {
    QFETCH(QString, db);
    QFETCH(QString, password);
    QFETCH(QString, caption);
    QFETCH(int, logins);
    QVERIFY2(m_server.start(TdsTestServer::defaultScenario()), qPrintable(m_server.errorText()));
    TempFolder folder;
    MemoryLog log;
    ErrorCount errors;
    SqlMaintenance maintenance(log, errors, folder.path());

    QCOMPARE(maintenance.connectionTest(job(db, password)), caption);
    QVERIFY(log.lines.isEmpty());
    QCOMPARE(errors.value(), 0);
    QCOMPARE(int(m_server.serverLog().count(QStringLiteral(" logged in to "))), logins);
    QCOMPARE(maintenance.SQLCon.isOpen(), caption == QLatin1String("OK"));
    if (db.isEmpty())
        QVERIFY(m_server.serverLog().isEmpty()); // not even an attempt
}

void TestSqlMaintenance::encryptionLines_data() {
    QTest::addColumn<QString>("sqlEncrypt");
    QTest::addColumn<QString>("serverEncryption");
    QTest::addColumn<QString>("listen"); // 127.0.0.2 stands for another machine
    QTest::addColumn<bool>("noted");     // the "Hinweis" line, once
    QTest::addColumn<bool>("warned");    // the line about an unknown value
    QTest::addColumn<bool>("refused");   // every step fails for want of TLS

    QTest::newRow("require, another machine: noted once")
        << "require" << "on" << "127.0.0.2" << true << false << false;
    QTest::newRow("unknown value: warned, then as require")
        << "ja" << "on" << "127.0.0.2" << true << true << false;
    QTest::newRow("require, this machine: nothing to note")
        << "require" << "off" << "127.0.0.1" << false << false << false;
    QTest::newRow("strict, checked certificate: nothing to note")
        << "strict" << "on" << "127.0.0.1" << false << false << false;
    QTest::newRow("strict, server without TLS: each step refused, no login")
        << "strict" << "not_sup" << "127.0.0.1" << false << false << true;
}

void TestSqlMaintenance::encryptionLines() {
    QFETCH(QString, sqlEncrypt);
    QFETCH(QString, serverEncryption);
    QFETCH(QString, listen);
    QFETCH(bool, noted);
    QFETCH(bool, warned);
    QFETCH(bool, refused);

    QJsonObject scenario = TdsTestServer::defaultScenario();
    scenario[QStringLiteral("encryption")] = serverEncryption;
    scenario[QStringLiteral("tls_folder")] = QStringLiteral("{folder}");
    scenario[QStringLiteral("listen")] = listen;
    QVERIFY2(m_server.start(scenario), qPrintable(m_server.errorText()));
    TempFolder folder;
    const QString iniPath = folder.file(QStringLiteral("OrvelSQLBackup.INI"));
    {
        QFile f(iniPath);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("[OrvelSQLBackup]\r\nSqlEncrypt=" + sqlEncrypt.toUtf8() + "\r\nSqlCAFile=" +
                QFile::encodeName(m_server.folder()) + "/ca.crt\r\n");
    }
    SqlDbProcess::setEncryptionIni(iniPath);
    const auto reset = qScopeGuard([] { SqlDbProcess::setEncryptionIni({}); });
    MemoryLog log;
    ErrorCount errors;
    SqlMaintenance maintenance(log, errors, folder.path());
    maintenance.setIniFile(iniPath);
    BackupJob j = job();
    j.DBServer = QStringLiteral("%1,%2").arg(listen).arg(m_server.port());

    // A connection test before the job is not the job's to note.
    QCOMPARE(maintenance.connectionTest(j), refused ? lit("Erfolglos") : lit("OK"));
    maintenance.arbeitsprozess(j, BackupFolders::inProgramFolder(folder.path()));

    const QString db = QStringLiteral("Lager");
    const QString note =
        lit("Hinweis: Verbindung zu SQL Server %1 verschlüsselt, Zertifikat nicht geprüft")
            .arg(j.DBServer);
    QCOMPARE(log.lines.count(note), noted ? 1 : 0);
    if (noted) {
        const QString missing = missingInOrder(
            log.lines, {lit("Verbunden mit Datenbank: ") + db, note,
                        lit("Hole Wiederherstellungsmodell für Datenbank: ") + db});
        QVERIFY2(missing.isEmpty(), qPrintable(missing));
    }
    const QString warning = lit("Warnung: SqlEncrypt=ja ist unbekannt (require oder strict); es "
                                "gilt require");
    QCOMPARE(log.lines.count(warning), warned ? 1 : 0);
    if (warned)
        QCOMPARE(log.lines.indexOf(warning), 1); // right after the job's first line
    if (refused) {
        const QString reason =
            lit("~Keine verschlüsselte Verbindung zum SQL Server %1 (SqlEncrypt=strict): der "
                "Server bietet keine Verschlüsselung an")
                .arg(j.DBServer);
        const QString missing =
            missingInOrder(log.lines, {reason, lit("FEHLER nicht verbunden mit Datenbank: ") + db,
                                       reason, lit("FEHLER bei Backup für Datenbank: ") + db});
        QVERIFY2(missing.isEmpty(), qPrintable(missing));
        QVERIFY(errors.value() > 0);
        QVERIFY2(!m_server.serverLog().contains(QStringLiteral("LOGIN7")),
                 qPrintable(m_server.serverLog()));
    } else {
        QCOMPARE(errors.value(), 0);
        QVERIFY(!m_server.serverLog().contains(QStringLiteral("LOGIN7 received in the clear")));
    }
}

int main(int argc, char** argv) {
    // Sizes must print without group separators in a German locale too: "8192", not "8.192".
    qputenv("LC_ALL", "de_DE.UTF-8");
    QCoreApplication app(argc, argv);
    TestSqlMaintenance test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_sqlmaintenance.moc"
