// The program with its real settings file, SQL Server steps and archive packaging, without a
// window: a whole backup run against the TDS test server, the connection test, and a start with
// a broken settings file.
#include "ClosedPort.h"
#include "FakeClock.h"
#include "FakeTimers.h"
#include "FakeView.h"
#include "FreeTdsTestConfig.h"
#include "FtpTestServer.h"
#include "LineMatch.h"
#include "SmtpTestServer.h"
#include "TdsTestServer.h"
#include "TempFolder.h"
#include "core/ProgramAssembly.h"
#include "core/RestoreRun.h"
#include "core/RunStateFile.h"
#include "report/ReportSources.h"
#include "restore/SqlRestore.h"
#include "settings/Dataset.h"
#include "settings/SettingsDatabase.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QMap>
#include <QProcess>
#include <QTest>

namespace {
// Uploads recorded: an attempt works when the archive is there, unless the server refuses it.
class RecordingUploader : public Uploader {
public:
    bool ftphochladen(const BackupJob&, const QString& path, const QString& name,
                      UploadAttempt&) override {
        uploads << name;
        return !refuses && QFileInfo::exists(path);
    }
    QStringList uploads;
    bool refuses = false;
};

// No connection, whatever the machine has: nothing leaves it.
class NoConnection : public ConnectionReport {
public:
    bool systemReportsConnection() override { return false; }
};

// The report mail's account as the test gives it.
class GivenAccount : public MailAccountSource {
public:
    MailAccount mailAccount() override { return account ? account() : MailAccount(); }
    std::function<MailAccount()> account;
};

// The program in its own program folder, on a Wednesday night.
struct Started {
    TempFolder folder;
    FakeClock clock{QDateTime(QDate(2026, 12, 9), QTime(2, 11, 29))};
    FakeTimers timers;
    FakeView view;
    RecordingUploader uploader;
    NoConnection connection;
    GivenAccount account;
    std::unique_ptr<ProgramAssembly> program;
    bool closed = false;

    // realUploads: the program's own uploads to the jobs' servers instead of the recording.
    explicit Started(QStringList args = {}, bool startUp = true,
                     std::function<MailAccount()> mailAccount = {}, bool realUploads = false) {
        ProgramAssembly::Options o;
        o.programFolder = folder.path();
        o.arguments = std::move(args);
        o.parts.clock = &clock;
        o.parts.timers = &timers;
        if (!realUploads)
            o.parts.uploader = &uploader;
        // Without an account of its own the test uses the one built in.
        account.account = std::move(mailAccount);
        if (account.account)
            o.parts.mailAccount = &account;
        // Online functions allowed, but the web server is a loopback port where nothing listens
        // and the system reports no connection: nothing leaves the machine.
        o.parts.connection = &connection;
        QFile ini(folder.file(QStringLiteral("OrvelSQLBackup.INI")));
        if (ini.open(QIODevice::WriteOnly))
            ini.write(QStringLiteral(
                          "[OrvelSQLBackup]\r\nInternet=0\r\nWebServer=https://127.0.0.1:%1\r\n")
                          .arg(closedPort())
                          .toLatin1());
        ini.close();
        program = std::make_unique<ProgramAssembly>(o, view);
        view.onClose = [this] { closed = core().closeRequested(); };
        if (startUp)
            this->startUp();
    }
    ProgramCore& core() { return program->core(); }
    Dataset& jobs() { return program->parts().settings->jobRows(); }
    // Created, shown, prepared: the countdown is on.
    void startUp() {
        core().windowCreated();
        core().windowShown();
        timers.preparation().fire();
    }
    QStringList lines() const {
        QStringList out;
        for (const QString& l : program->log().lines())
            out << l.mid(20);
        return out;
    }
};

void addJob(Dataset& jobs, const QString& name, const QString& server, const QString& password,
            bool ftp) {
    jobs.append();
    jobs.setValue(QStringLiteral("DBName"), name);
    jobs.setValue(QStringLiteral("DBServer"), server);
    jobs.setValue(QStringLiteral("DBBenutzer"), QStringLiteral("sa"));
    jobs.setValue(QStringLiteral("DBPasswort"), password);
    jobs.setValue(QStringLiteral("FTP_aktiv"), ftp);
    jobs.post();
}

QStringList zipEntries(const QString& archive) {
    QProcess p;
    p.start(QStringLiteral("/usr/bin/python3"),
            {QStringLiteral("-c"),
             QStringLiteral("import sys,zipfile; z=zipfile.ZipFile(sys.argv[1]); "
                            "assert z.testzip() is None; print('\\n'.join(z.namelist()))"),
             archive});
    p.waitForFinished(60000);
    if (p.exitCode() != 0)
        return {
            QStringLiteral("<unreadable: %1>").arg(QString::fromUtf8(p.readAllStandardError()))};
    return QString::fromUtf8(p.readAllStandardOutput())
        .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// More keys for the INI file's section; the run reads them when it starts.
void addIniLines(const Started& started, const QByteArray& lines) {
    QFile ini(started.folder.file(QStringLiteral("OrvelSQLBackup.INI")));
    QVERIFY(ini.open(QIODevice::Append));
    ini.write(lines);
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The sizes of an archive's entries, by name.
QMap<QString, qint64> zipSizes(const QString& archive) {
    QProcess p;
    p.start(QStringLiteral("/usr/bin/python3"),
            {QStringLiteral("-c"),
             QStringLiteral("import sys,zipfile\nfor i in zipfile.ZipFile(sys.argv[1]).infolist(): "
                            "print(i.filename, i.file_size)"),
             archive});
    p.waitForFinished(60000);
    QMap<QString, qint64> sizes;
    for (const QString& line :
         QString::fromUtf8(p.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        sizes.insert(line.section(QLatin1Char(' '), 0, 0), line.section(QLatin1Char(' '), 1).toLongLong());
    return sizes;
}

// The metrics file's samples, by metric name and labels.
QMap<QString, double> samples(const QByteArray& text) {
    QMap<QString, double> out;
    for (const QByteArray& line : text.split('\n')) {
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        const qsizetype space = line.lastIndexOf(' ');
        out.insert(QString::fromUtf8(line.left(space)), line.mid(space + 1).toDouble());
    }
    return out;
}

// Lager (FULL) and Kasse (SIMPLE), as the default scenario has Lager.
QJsonObject twoDatabases() {
    QJsonObject scenario = TdsTestServer::defaultScenario();
    QJsonObject databases = scenario[QStringLiteral("databases")].toObject();
    QJsonObject kasse = databases[QStringLiteral("Lager")].toObject();
    kasse[QStringLiteral("recovery_model")] = QStringLiteral("SIMPLE");
    databases[QStringLiteral("Kasse")] = kasse;
    scenario[QStringLiteral("databases")] = databases;
    return scenario;
}
} // namespace

class TestProgramAssembly : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { QVERIFY(m_tdsConf.install()); }

    void firstStartCreatesTheSettingsFile() {
        Started started;
        const QStringList l = started.lines();
        const int at = l.indexOf(QStringLiteral("Einstellungsdatenbank erstellt"));
        QVERIFY2(at > 0, qPrintable(l.join(QLatin1Char('\n'))));
        QCOMPARE(l.mid(at, 4), (QStringList{QStringLiteral("Einstellungsdatenbank erstellt"),
                                            QStringLiteral("Verbinde mit Einstellungsdatenbank"),
                                            QStringLiteral("Einstellungsdatenbank verbunden"),
                                            QStringLiteral("Datenbank erfolgreich geöffnet")}));
        QVERIFY(started.jobs().isOpen());
        QCOMPARE(started.program->parts().settings->generalRows().recordCount(), 1);
    }

    void brokenSettingsFileStillEndsTheAutomaticRun_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("no database at all")
            << QByteArray("Dies ist keine Datenbank.\r\n").repeated(200);
        QTest::newRow("other password") << QByteArray();
    }
    void brokenSettingsFileStillEndsTheAutomaticRun() {
        QFETCH(QByteArray, content);
        Started started({}, false);
        const QString path = started.folder.file(QStringLiteral("sqlback.mdb"));
        if (content.isEmpty()) {
            // A real encrypted file, but with a key that is not ours.
            QProcess shell;
            shell.start(QStringLiteral("sqlcipher"), {path});
            shell.write("PRAGMA key='fremd';\nCREATE TABLE t(a);\n.quit\n");
            shell.closeWriteChannel();
            QVERIFY(shell.waitForFinished(10000));
            QVERIFY(QFileInfo(path).size() > 0);
        } else {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(content);
        }
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray before = file.readAll();
        file.close();
        started.startUp();
        const QStringList l = started.lines();
        const int at = l.indexOf(QStringLiteral("Verbinde mit Einstellungsdatenbank"));
        QCOMPARE(l.mid(at, 3),
                 (QStringList{QStringLiteral("Verbinde mit Einstellungsdatenbank"),
                              QStringLiteral("FEHLER: Keine Verbindung zur Einstellungsdatenbank"),
                              QStringLiteral("Datenbank kann nicht geöffnet werden")}));
        QVERIFY(started.timers.countdown().fire());
        // The run could not read its jobs: that shows in the log and the count the report reads;
        // the exit code tells the scheduler the start failed. The file is left as it was.
        QVERIFY(started.lines().contains(QStringLiteral("FEHLER: Verarbeitung abgebrochen")));
        QCOMPARE(started.core().errorCount(), 1);
        // The report cannot read its recipients: a failed mail, not a field left empty.
        const QStringList after = started.lines();
        const QStringList mail =
            after.mid(after.indexOf(QStringLiteral("Email wird aufbereitet und verschickt")), 3);
        QCOMPARE(mail.size(), 3);
        QVERIFY2(mail.at(1).endsWith(QStringLiteral("' ist nicht geöffnet")), qPrintable(mail.at(1)));
        QCOMPARE(mail.at(2), QStringLiteral("FEHLER beim Emailversand"));
        QVERIFY(!after.contains(QStringLiteral("Empfänger-Email-Adresse ist nicht eingetragen")));
        QCOMPARE(started.core().exitCode(), 2);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), before);
        QVERIFY(started.closed);
        QCOMPARE(started.lines().last(), QStringLiteral("Programm wird beendet"));
    }

    // A whole run: the SQL Server steps against the test server, the archive, the copy, the upload.
    void backupRunOverTwoJobs() {
        TdsTestServer server;
        QJsonObject scenario = TdsTestServer::defaultScenario();
        QJsonObject databases = scenario[QStringLiteral("databases")].toObject();
        QJsonObject kasse = databases[QStringLiteral("Lager")].toObject();
        kasse[QStringLiteral("recovery_model")] = QStringLiteral("SIMPLE");
        databases[QStringLiteral("Kasse")] = kasse;
        scenario[QStringLiteral("databases")] = databases;
        QVERIFY2(server.start(scenario), qPrintable(server.errorText()));

        TempFolder copies;
        Started started; // a Wednesday
        addJob(started.jobs(), QStringLiteral("Lager"), server.dataSource(),
               QStringLiteral("geheim"), true);
        addJob(started.jobs(), QStringLiteral("Kasse"), server.dataSource(),
               QStringLiteral("geheim"), false);
        Dataset& general = started.program->parts().settings->generalRows();
        general.edit();
        general.setValue(QStringLiteral("OrdnerZIPDateien"), QDir::cleanPath(copies.path()));
        general.post();

        const int before = started.lines().size();
        started.core().startBackupRun();
        const QStringList l = started.lines().mid(before);
        QCOMPARE(l.last(), QStringLiteral("Fehleranzahl: 0"));
        QVERIFY2(l.filter(QStringLiteral("FEHLER")).isEmpty(),
                 qPrintable(l.join(QLatin1Char('\n'))));

        const TempFolder& folder = started.folder;
        QCOMPARE(zipEntries(folder.file(QStringLiteral("Lager3.ZIP"))),
                 (QStringList{QStringLiteral("Lager.BAK"), QStringLiteral("Lager.TRN")}));
        QCOMPARE(zipEntries(folder.file(QStringLiteral("Kasse3.ZIP"))),
                 QStringList{QStringLiteral("Kasse.BAK")});
        QVERIFY(QFileInfo::exists(copies.file(QStringLiteral("Lager3.ZIP"))));
        QVERIFY(QFileInfo::exists(copies.file(QStringLiteral("Kasse3.ZIP"))));
        QCOMPARE(started.uploader.uploads, QStringList{QStringLiteral("Lager3.ZIP")});

        // The empty archive names were filled in and stored.
        Dataset& jobs = started.jobs();
        jobs.close();
        jobs.open();
        QCOMPARE(jobs.value(QStringLiteral("ZIP_Dateiname")).toString(), QStringLiteral("Lager"));
        jobs.next();
        QCOMPARE(jobs.value(QStringLiteral("ZIP_Dateiname")).toString(), QStringLiteral("Kasse"));
    }

    // KeepWeekly= and KeepMonthly= in the INI file, a Sunday night: the program's own upload
    // stores the night's archive on the FTP server and keeps it as the week's and, none of
    // December being there, the month's archive; the oldest weekly archive goes, another file
    // with a similar name stays.
    void keepsWeeklyAndMonthlyArchives() {
        TdsTestServer server;
        QVERIFY2(server.start(TdsTestServer::defaultScenario()), qPrintable(server.errorText()));
        FtpTestServer ftp;
        QVERIFY2(ftp.start(FtpTestServer::defaultScenario()), qPrintable(ftp.errorText()));
        for (const QString& name :
             {QStringLiteral("Lager-W2026-48.ZIP"), QStringLiteral("Lager-W2026-49.ZIP"),
              QStringLiteral("Lager-W2026-47.ZIP.bak")})
            writeFile(ftp.home() + QLatin1Char('/') + name, "alt");

        Started started({}, true, {}, true);
        started.clock.current = QDateTime(QDate(2026, 12, 13), QTime(2, 11, 29)); // a Sunday
        addIniLines(started, "KeepWeekly=2\r\nKeepMonthly=1\r\n");
        addJob(started.jobs(), QStringLiteral("Lager"), server.dataSource(),
               QStringLiteral("geheim"), true);
        Dataset& jobs = started.jobs();
        jobs.edit();
        jobs.setValue(QStringLiteral("FTP_SERVER"), QStringLiteral("127.0.0.1"));
        jobs.setValue(QStringLiteral("FTP_Port"), ftp.port());
        jobs.setValue(QStringLiteral("FTP_Benutzer"), QStringLiteral("backup"));
        jobs.setValue(QStringLiteral("FTP_Passwort"), QStringLiteral("geheim"));
        jobs.setValue(QStringLiteral("FTP_Pfad"), QStringLiteral("/"));
        jobs.setValue(QStringLiteral("FTP_SSL"), 0);
        jobs.setValue(QStringLiteral("FTP_Passiv"), 1);
        jobs.post();

        const int before = started.lines().size();
        started.core().startBackupRun();
        const QStringList l = started.lines().mid(before);
        const QString missing = missingInOrder(
            l, {QStringLiteral("FTP-Prozess erfolgreich für Datenbank: Lager7.ZIP"),
                QStringLiteral("Wochenarchiv gespeichert für Datenbank: Lager-W2026-50.ZIP"),
                QStringLiteral("Monatsarchiv gespeichert für Datenbank: Lager-M2026-12.ZIP"),
                QStringLiteral("Altes Archiv entfernt für Datenbank: Lager-W2026-48.ZIP"),
                QStringLiteral("FTP-Prozess abgeschlossen für Datenbank: Lager"),
                QStringLiteral("Fehleranzahl: 0")});
        QVERIFY2(missing.isEmpty(), qPrintable(missing));
        QCOMPARE(QDir(ftp.home()).entryList(QDir::Files, QDir::Name),
                 (QStringList{QStringLiteral("Lager-M2026-12.ZIP"),
                              QStringLiteral("Lager-W2026-47.ZIP.bak"),
                              QStringLiteral("Lager-W2026-49.ZIP"),
                              QStringLiteral("Lager-W2026-50.ZIP"), QStringLiteral("Lager7.ZIP")}));
        const QByteArray archive = readFile(started.folder.file(QStringLiteral("Lager7.ZIP")));
        QVERIFY(!archive.isEmpty());
        QVERIFY(readFile(ftp.home() + QStringLiteral("/Lager-W2026-50.ZIP")) == archive);
        QVERIFY(readFile(ftp.home() + QStringLiteral("/Lager-M2026-12.ZIP")) == archive);
    }

    void connectionTest_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("caption");
        QTest::newRow("reachable") << "Lager"
                                   << "geheim"
                                   << "OK";
        QTest::newRow("wrong password") << "Lager"
                                        << "falsch"
                                        << "Erfolglos";
        QTest::newRow("missing database") << "Fehlt"
                                          << "geheim"
                                          << "Erfolglos";
    }
    void connectionTest() {
        QFETCH(QString, name);
        QFETCH(QString, password);
        QFETCH(QString, caption);
        TdsTestServer server;
        QVERIFY2(server.start(TdsTestServer::defaultScenario()), qPrintable(server.errorText()));
        Started started;
        addJob(started.jobs(), name, server.dataSource(), password, false);
        const int lines = started.lines().size();
        started.core().testConnection();
        QCOMPARE(started.view.connectionResult, caption);
        QCOMPARE(started.lines().size(), lines); // no log line
        QCOMPARE(started.core().errorCount(), 0);
    }

    // The values being typed are stored first and are what the test uses.
    void connectionTestStoresThePendingEditFirst() {
        TdsTestServer server;
        QVERIFY2(server.start(TdsTestServer::defaultScenario()), qPrintable(server.errorText()));
        Started started;
        addJob(started.jobs(), QStringLiteral("Lager"), server.dataSource(),
               QStringLiteral("falsch"), false);
        Dataset& jobs = started.jobs();
        jobs.edit();
        jobs.setValue(QStringLiteral("DBPasswort"), QStringLiteral("geheim"));
        started.core().testConnection();
        QCOMPARE(started.view.connectionResult, QStringLiteral("OK"));
        QCOMPARE(jobs.state(), DatasetState::Browse);
    }

    void connectionTestWithoutDatabaseName() {
        Started started;
        started.core().testConnection();
        QCOMPARE(started.view.connectionResult, QStringLiteral("keine Datenbank eingestellt"));
    }

    // The countdown ends while a run started by hand is under way: the automatic run waits for
    // it instead of mailing a half-done count and closing in the middle.
    void countdownEndingDuringAManualRunWaitsForIt() {
        Started started({QStringLiteral("nozip")});
        addJob(started.jobs(), QStringLiteral("Lager"),
               QStringLiteral("127.0.0.1,%1").arg(closedPort()), QStringLiteral("x"), false);
        bool fired = false;
        started.program->log().setMessagePump([&] {
            if (!fired && started.core().backupRunning()) {
                fired = started.timers.countdown().fire();
                QVERIFY(started.core().countdownActive());
            }
        });
        started.core().startBackupRun();
        QVERIFY(fired);
        QVERIFY(!started.closed);
        QVERIFY(started.core().countdownActive());
        QVERIFY(!started.lines().contains(QStringLiteral("Programm wird beendet")));
        QCOMPARE(started.lines().count(QStringLiteral("Verarbeitung abgeschlossen")), 1);
        started.program->log().setMessagePump({});
        // Once the run is over, the automatic run takes its course.
        QVERIFY(started.timers.countdown().fire());
        QVERIFY(started.closed);
        QCOMPARE(started.lines().count(QStringLiteral("Verarbeitung abgeschlossen")), 2);
    }

    // The report mail reads the error count of the last run and carries the whole screen log;
    // the automatic run mails after the backup run and before the update check.
    void reportMailAfterEachRun() {
        SmtpTestServer mailServer;
        QVERIFY2(mailServer.start(), qPrintable(mailServer.errorText()));
        Started started({QStringLiteral("nozip")}, true, [&mailServer] {
            return MailAccount{QStringLiteral("127.0.0.1"),
                               mailServer.port(),
                               QStringLiteral("berichte@orvel.test"),
                               QStringLiteral("report"),
                               QStringLiteral("geheim"),
                               mailServer.caFile()};
        });
        Dataset& general = started.program->parts().settings->generalRows();
        general.edit();
        general.setValue(QStringLiteral("EmpfaengerEmail"), QStringLiteral("admin@firma.test"));
        general.setValue(QStringLiteral("VersenderName"), QStringLiteral("Lager Süd"));
        general.post();
        const auto subjects = [&mailServer] {
            QStringList out;
            for (const QJsonObject& m : mailServer.messages())
                out << m.value(QStringLiteral("subject"))
                           .toString()
                           .section(QLatin1Char(' '), 0, 3);
            return out;
        };
        const QString clean = QStringLiteral("OrvelSQLBackup-Report");
        const QString failed = QStringLiteral("ACHTUNG FEHLER bei OrvelSQLBackup");

        // Before any run; after a failed one; after the next clean one.
        started.core().sendReport();
        addJob(started.jobs(), QStringLiteral("Lager"),
               QStringLiteral("127.0.0.1,%1").arg(closedPort()), QStringLiteral("x"), false);
        started.core().startBackupRun();
        started.core().sendReport();
        started.jobs().first();
        started.jobs().remove();
        started.core().startBackupRun();
        started.core().sendReport();
        QCOMPARE(subjects().size(), 3);
        QCOMPARE(subjects().at(0).section(QLatin1Char(' '), 0, 0), clean);
        QCOMPARE(subjects().at(1).left(failed.size()), failed);
        QCOMPARE(subjects().at(2).section(QLatin1Char(' '), 0, 0), clean);

        const int before = started.lines().size();
        QVERIFY(started.timers.countdown().fire());
        const QStringList expected{QStringLiteral("Fehleranzahl: 0"),
                                   QStringLiteral("Email wird aufbereitet und verschickt"),
                                   QStringLiteral("Email wurde aufbereitet"),
                                   QStringLiteral("Email gesendet"),
                                   QStringLiteral("Installierte Programmversion: 4.0.0.0"),
                                   QStringLiteral("Kein Zugriff auf das Internet möglich"),
                                   QStringLiteral("Programm wird beendet")};
        const QString missing = missingInOrder(started.lines().mid(before), expected);
        QVERIFY2(missing.isEmpty(), qPrintable(missing));
        QVERIFY(started.closed);

        // The last mail: the screen log, newest line first, down to the program's first line.
        const QJsonObject last = mailServer.messages().last();
        const QStringList text = last.value(QStringLiteral("parts"))
                                     .toArray()
                                     .first()
                                     .toObject()
                                     .value(QStringLiteral("text"))
                                     .toString()
                                     .split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
        QVERIFY(text.first().endsWith(QStringLiteral(" Email wird aufbereitet und verschickt")));
        QVERIFY(text.last().endsWith(QStringLiteral(" Programm startet")));
        // Logged after the text was taken: prepared, sent, the version, the internet, the end.
        QCOMPARE(text.size(), started.lines().size() - 5);
        QVERIFY(last.value(QStringLiteral("subject"))
                    .toString()
                    .endsWith(QStringLiteral(" Lager Süd")));
    }

    // The backup folder as each side names it: the server writes where its own path points
    // (mapped by the test server to a folder here), the program clears and packs the files there
    // and leaves the program folder's old backup files alone.
    void backupFolderAsEachSideNamesIt_data() {
        QTest::addColumn<QString>("serverFolder"); // as the INI file gives it
        QTest::addColumn<QString>("serverPrefix"); // as the statements must carry it
        QTest::newRow("Windows server") << QStringLiteral("D:\\SQL Backup") << QStringLiteral("D:\\SQL Backup\\");
        QTest::newRow("container") << QStringLiteral("/var/opt/mssql/backup")
                                   << QStringLiteral("/var/opt/mssql/backup/");
    }
    void backupFolderAsEachSideNamesIt() {
        QFETCH(QString, serverFolder);
        QFETCH(QString, serverPrefix);
        TempFolder backups;
        QJsonObject scenario = twoDatabases();
        scenario[QStringLiteral("disk_folders")] = QJsonObject{{serverPrefix, backups.path()}};
        TdsTestServer server;
        QVERIFY2(server.start(scenario), qPrintable(server.errorText()));

        Started started;
        const QString local = QDir::cleanPath(backups.path()); // without its trailing '/'
        addIniLines(started, ("BackupFolder=" + local + "\r\nServerBackupFolder=" + serverFolder +
                              "\r\n").toUtf8());
        addJob(started.jobs(), QStringLiteral("Lager"), server.dataSource(),
               QStringLiteral("geheim"), false);
        addJob(started.jobs(), QStringLiteral("Kasse"), server.dataSource(),
               QStringLiteral("geheim"), false);
        // Old files in both folders: the backup folder's go, the program folder's stay untouched.
        const TempFolder& folder = started.folder;
        const QStringList decoys{QStringLiteral("Lager.BAK"), QStringLiteral("Lager.TRN"),
                                 QStringLiteral("Kasse.BAK"), QStringLiteral("Kasse.TRN")};
        for (const QString& name : decoys)
            writeFile(folder.file(name), "alt\n");
        writeFile(backups.file(QStringLiteral("Kasse.TRN")), "von gestern\n");

        const int before = started.lines().size();
        started.core().startBackupRun();
        const QStringList l = started.lines().mid(before);
        QCOMPARE(l.last(), QStringLiteral("Fehleranzahl: 0"));
        QCOMPARE(l.mid(0, 2), (QStringList{QStringLiteral("Sicherungsordner: ") + backups.path(),
                                           QStringLiteral("Sicherungsordner des SQL Servers: ") +
                                               serverPrefix}));

        const QStringList backupStatements = server.batches().filter(QStringLiteral("BACKUP "));
        QCOMPARE(backupStatements,
                 (QStringList{"BACKUP DATABASE [Lager] TO DISK='" + serverPrefix + "Lager.BAK'",
                              "BACKUP LOG [Lager] TO DISK='" + serverPrefix + "Lager.TRN'",
                              "BACKUP LOG [Lager] TO DISK='" + serverPrefix + "Lager.TRN'",
                              "BACKUP DATABASE [Kasse] TO DISK='" + serverPrefix + "Kasse.BAK'"}));

        // Packed from the backup folder: the entries are the server's files, not the old ones.
        const QMap<QString, qint64> lager = zipSizes(folder.file(QStringLiteral("Lager3.ZIP")));
        QCOMPARE(lager.keys(), (QStringList{QStringLiteral("Lager.BAK"), QStringLiteral("Lager.TRN")}));
        QCOMPARE(lager[QStringLiteral("Lager.BAK")], QFileInfo(backups.file(QStringLiteral("Lager.BAK"))).size());
        QCOMPARE(lager[QStringLiteral("Lager.TRN")], QFileInfo(backups.file(QStringLiteral("Lager.TRN"))).size());
        QVERIFY(lager[QStringLiteral("Lager.BAK")] > 65536);
        QCOMPARE(zipSizes(folder.file(QStringLiteral("Kasse3.ZIP"))).keys(),
                 QStringList{QStringLiteral("Kasse.BAK")});
        // Yesterday's log backup of the SIMPLE database was cleared before the backup.
        QVERIFY(!QFileInfo::exists(backups.file(QStringLiteral("Kasse.TRN"))));
        for (const QString& name : decoys)
            QCOMPARE(readFile(folder.file(name)), QByteArray("alt\n"));
    }

    // A backup folder that is not there: named at the start, every job fails counted at its file
    // step, and nothing is packed (least of all the program folder's old files).
    void missingBackupFolderFailsEveryJob() {
        TdsTestServer server;
        QVERIFY2(server.start(twoDatabases()), qPrintable(server.errorText()));
        TempFolder parent;
        const QString missing = parent.file(QStringLiteral("nicht da"));
        Started started;
        addIniLines(started, ("BackupFolder=" + missing + "\r\n").toUtf8());
        addJob(started.jobs(), QStringLiteral("Lager"), server.dataSource(),
               QStringLiteral("geheim"), false);
        addJob(started.jobs(), QStringLiteral("Kasse"), server.dataSource(),
               QStringLiteral("geheim"), false);
        writeFile(started.folder.file(QStringLiteral("Lager.BAK")), "alt\n");

        const int before = started.lines().size();
        started.core().startBackupRun();
        const QStringList l = started.lines().mid(before);
        QCOMPARE(l.count(QStringLiteral("Sicherungsordner nicht verfügbar (fehlt oder ist nicht "
                                        "les- und beschreibbar): ") + missing + QLatin1Char('/')),
                 1);
        for (const QString& db : {QStringLiteral("Lager"), QStringLiteral("Kasse")}) {
            const int at = l.indexOf(QStringLiteral("FEHLER bei den Sicherungsdateien für Datenbank: ") + db);
            QVERIFY2(at > 0, qPrintable(l.join(QLatin1Char('\n'))));
            QCOMPARE(l.at(at - 1), QStringLiteral("Sicherungsordner nicht verfügbar: ") + missing +
                                       QLatin1Char('/'));
        }
        QVERIFY(l.filter(QStringLiteral("ZIP-Datei erstellt")).isEmpty());
        QVERIFY(!QFileInfo::exists(started.folder.file(QStringLiteral("Lager3.ZIP"))));
        QVERIFY(!QFileInfo::exists(started.folder.file(QStringLiteral("Kasse3.ZIP"))));
        QCOMPARE(readFile(started.folder.file(QStringLiteral("Lager.BAK"))), QByteArray("alt\n"));
        QVERIFY(started.core().errorCount() >= 2);
        QVERIFY(!QFileInfo::exists(missing));
    }

    // The monitoring file after a clean run and after a failing one.
    void metricsFileAfterEachRun() {
        QJsonObject scenario = TdsTestServer::defaultScenario();
        QJsonObject databases = scenario[QStringLiteral("databases")].toObject();
        databases.insert(QStringLiteral("Kasse\"Nord"), databases.value(QStringLiteral("Lager")));
        scenario[QStringLiteral("databases")] = databases;
        TdsTestServer server;
        QVERIFY2(server.start(scenario), qPrintable(server.errorText()));
        Started started;
        QVERIFY(QDir(started.folder.path()).mkdir(QStringLiteral("metriken")));
        addIniLines(started, "MetricsFile=metriken/orvelsqlbackup.prom\r\n");
        const QString metrics = started.folder.file(QStringLiteral("metriken/orvelsqlbackup.prom"));
        addJob(started.jobs(), QStringLiteral("Lager"), server.dataSource(),
               QStringLiteral("geheim"), true);
        addJob(started.jobs(), QStringLiteral("Kasse\"Nord"), server.dataSource(),
               QStringLiteral("geheim"), false);

        const double before = double(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
        started.core().startBackupRun();
        const double after = double(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
        QCOMPARE(started.core().errorCount(), 0);
        QMap<QString, double> clean = samples(readFile(metrics));
        const double end = clean.take(QStringLiteral("orvelsqlbackup_last_run_end_timestamp_seconds"));
        QVERIFY2(end >= before - 0.001 && end <= after + 0.001, qPrintable(QString::number(end, 'f')));
        const double duration = clean.take(QStringLiteral("orvelsqlbackup_last_run_duration_seconds"));
        QVERIFY(duration >= 0 && duration <= after - before + 0.001);
        const QMap<QString, double> expectedClean{
            {QStringLiteral("orvelsqlbackup_last_run_errors"), 0},
            {QStringLiteral("orvelsqlbackup_job_archive_bytes{job=\"Lager\"}"),
             double(QFileInfo(started.folder.file(QStringLiteral("Lager3.ZIP"))).size())},
            {QStringLiteral("orvelsqlbackup_job_archive_bytes{job=\"Kasse\\\"Nord\"}"),
             double(QFileInfo(started.folder.file(QStringLiteral("Kasse\"Nord3.ZIP"))).size())},
            {QStringLiteral("orvelsqlbackup_job_upload_ok{job=\"Lager\"}"), 1},
            {QStringLiteral("orvelsqlbackup_job_upload_ok{job=\"Kasse\\\"Nord\"}"), 0}};
        QCOMPARE(clean, expectedClean);
        QVERIFY(QFileInfo(started.folder.file(QStringLiteral("Lager3.ZIP"))).size() > 0);

        // The server is gone: every step fails, no archive, no upload.
        server.stop();
        started.core().startBackupRun();
        const qint32 errors = started.core().errorCount();
        QVERIFY(errors > 0);
        QMap<QString, double> failing = samples(readFile(metrics));
        QVERIFY(failing.take(QStringLiteral("orvelsqlbackup_last_run_end_timestamp_seconds")) >= end);
        failing.remove(QStringLiteral("orvelsqlbackup_last_run_duration_seconds"));
        QCOMPARE(failing, (QMap<QString, double>{
                              {QStringLiteral("orvelsqlbackup_last_run_errors"), double(errors)},
                              {QStringLiteral("orvelsqlbackup_job_archive_bytes{job=\"Lager\"}"), 0},
                              {QStringLiteral("orvelsqlbackup_job_archive_bytes{job=\"Kasse\\\"Nord\"}"), 0},
                              {QStringLiteral("orvelsqlbackup_job_upload_ok{job=\"Lager\"}"), 0},
                              {QStringLiteral("orvelsqlbackup_job_upload_ok{job=\"Kasse\\\"Nord\"}"), 0}}));
        // Written beside the file and renamed: nothing else is left in its folder.
        QCOMPARE(QDir(started.folder.file(QStringLiteral("metriken"))).entryList(QDir::Files | QDir::Hidden),
                 QStringList{QStringLiteral("orvelsqlbackup.prom")});
    }

    // After a night, each job's archive restores: as a test into a scratch database that is
    // checked and dropped, or into another database; a damaged archive or a server that finds
    // the restored database damaged fails with one line and one error, and nothing is left.
    void restoreAfterTheNight_data() {
        QTest::addColumn<QString>("how");    // test, as, damaged, corrupt, nightly
        QTest::addColumn<int>("outcome");
        QTest::addColumn<QStringList>("lines"); // in this order among the run's lines
        const QString db = QStringLiteral(" für Datenbank: Lager");
        const QString started = QStringLiteral("Wiederherstellung gestartet") + db;
        const QString loaded = QStringLiteral("Archiv geladen") + db;
        const QString checked = QStringLiteral("Archiv geprüft") + db;
        const QString scratch = QStringLiteral("Lager_Wiederherstellungstest");
        QTest::newRow("test") << "test" << 0
                              << QStringList{started, loaded, checked,
                                             "Datenbank wiederhergestellt" + db + " als " + scratch,
                                             "Integritätsprüfung nach Wiederherstellung erfolgreich" + db,
                                             "Wiederherstellungstest erfolgreich" + db};
        QTest::newRow("as another database")
            << "as" << 0
            << QStringList{started, loaded, checked,
                           "Datenbank wiederhergestellt" + db + " als Lager_Kopie",
                           "Integritätsprüfung nach Wiederherstellung erfolgreich" + db};
        QTest::newRow("damaged archive") << "damaged" << 1
                                         << QStringList{started, loaded,
                                                        "FEHLER bei der Wiederherstellung" + db};
        QTest::newRow("wrong ZIP password")
            << "password" << 1
            << QStringList{started, loaded, "FEHLER bei der Wiederherstellung" + db};
        QTest::newRow("an archive without the full backup")
            << "foreign" << 1
            << QStringList{started, loaded,
                           "Das Archiv Lager3.ZIP enthält keine Datei Lager.BAK",
                           "FEHLER bei der Wiederherstellung" + db};
        QTest::newRow("server refuses the restore")
            << "refused" << 1
            << QStringList{started, loaded, checked, "Kein Platz mehr für die Datenbank",
                           "FEHLER bei der Wiederherstellung" + db};
        QTest::newRow("server finds the restored database damaged")
            << "corrupt" << 1
            << QStringList{started, loaded, checked,
                           "Datenbank wiederhergestellt" + db + " als " + scratch,
                           "FEHLER beim Wiederherstellungstest" + db};
        QTest::newRow("the night's test")
            << "nightly" << 0
            << QStringList{"FTP-Prozess abgeschlossen" + db, started, loaded, checked,
                           "Wiederherstellungstest erfolgreich" + db, "Fehleranzahl: 0"};
        // The destination may still hold last week's archive of the day: tonight's is tested
        // where it is, and the failed upload alone counts.
        QTest::newRow("the night's test after a refused upload")
            << "nightly, upload refused" << 0
            << QStringList{"FTP-Prozess abgeschlossen" + db,
                           "Wiederherstellungstest aus dem Programmordner, da der Upload "
                           "fehlschlug," + db,
                           started, loaded, checked, "Wiederherstellungstest erfolgreich" + db,
                           "Fehleranzahl: 1"};
    }

    void restoreAfterTheNight() {
        QFETCH(QString, how);
        QFETCH(int, outcome);
        QFETCH(QStringList, lines);
        QJsonObject scenario = TdsTestServer::defaultScenario();
        if (how == QLatin1String("corrupt"))
            scenario[QStringLiteral("checkdb_corrupt")] =
                QJsonArray{QStringLiteral("Lager_Wiederherstellungstest")};
        if (how == QLatin1String("refused"))
            scenario[QStringLiteral("fail")] = QJsonArray{
                QJsonObject{{QStringLiteral("match"), QStringLiteral("RESTORE DATABASE")},
                            {QStringLiteral("number"), 1105},
                            {QStringLiteral("severity"), 17},
                            {QStringLiteral("message"),
                             QStringLiteral("Kein Platz mehr für die Datenbank")}}};
        TdsTestServer server;
        QVERIFY2(server.start(scenario), qPrintable(server.errorText()));
        TempFolder copies;
        Started started; // a Wednesday
        const bool nightly = how.startsWith(QLatin1String("nightly"));
        const bool uploads = how == QLatin1String("nightly, upload refused");
        started.uploader.refuses = uploads;
        addJob(started.jobs(), QStringLiteral("Lager"), server.dataSource(),
               QStringLiteral("geheim"), uploads);
        Dataset& general = started.program->parts().settings->generalRows();
        general.edit();
        general.setValue(QStringLiteral("OrdnerZIPDateien"), QDir::cleanPath(copies.path()));
        if (how == QLatin1String("password"))
            general.setValue(QStringLiteral("ZIP_Passwort"), QStringLiteral("richtig"));
        general.post();
        if (nightly)
            addIniLines(started, "RestoreTest=3\r\n");
        const int before = started.lines().size();
        started.core().startBackupRun();
        const QString archive = started.folder.file(QStringLiteral("Lager3.ZIP"));
        QVERIFY(QFileInfo::exists(archive));

        int got = 0;
        if (nightly) {
            QCOMPARE(started.core().errorCount(), uploads ? 1 : 0);
            // The state for the command line's status holds the test, and the next night,
            // which has none, keeps it.
            const QDateTime tested = started.clock.current;
            for (int night = 0; night < 2; ++night) {
                const std::optional<RunState> state =
                    RunStateFile::inProgramFolder(started.folder.path()).read();
                QVERIFY(state && state->jobs.size() == 1);
                QVERIFY(state->jobs.first().restoreTested);
                QVERIFY(state->jobs.first().restoreOk);
                QVERIFY(qAbs(state->jobs.first().restoreTestEnd.secsTo(tested)) < 5);
                if (night == 0) {
                    started.clock.current = started.clock.current.addDays(1); // a Thursday
                    const int count = started.lines().size();
                    started.core().startBackupRun();
                    QVERIFY(started.lines().mid(count).filter(QStringLiteral("Wiederherstellung gestartet")).isEmpty());
                }
            }
        } else {
            if (how == QLatin1String("password")) {
                general.edit();
                general.setValue(QStringLiteral("ZIP_Passwort"), QStringLiteral("falsch"));
                general.post();
            }
            if (how == QLatin1String("foreign")) {
                // Another program's archive under the job's name, in both places.
                for (const QString& path : {archive, copies.file(QStringLiteral("Lager3.ZIP"))}) {
                    QFile::remove(path);
                    QProcess zip;
                    zip.start(QStringLiteral("/usr/bin/python3"),
                              {QStringLiteral("-c"),
                               QStringLiteral("import sys,zipfile; z=zipfile.ZipFile(sys.argv[1],'w'); "
                                              "z.writestr('Kasse.BAK', b'x' * 1000); z.close()"),
                               path});
                    QVERIFY(zip.waitForFinished(30000) && zip.exitCode() == 0);
                }
            }
            if (how == QLatin1String("damaged")) {
                // One byte in the middle of the full backup's data, in the program folder and
                // in the copy: the reader refuses it.
                for (const QString& path : {archive, copies.file(QStringLiteral("Lager3.ZIP"))}) {
                    QFile f(path);
                    QVERIFY(f.open(QIODevice::ReadWrite));
                    f.seek(f.size() / 3);
                    char c = 0;
                    f.getChar(&c);
                    f.seek(f.size() / 3);
                    f.putChar(char(c ^ 0x40));
                }
            }
            RestoreRequest request;
            request.job = QStringLiteral("Lager");
            request.test = how == QLatin1String("test") || how == QLatin1String("corrupt");
            if (!request.test)
                request.as = QStringLiteral("Lager_Kopie");
            got = started.core().restore(request);
        }
        QCOMPARE(got, outcome);
        const QStringList l = started.lines().mid(before);
        qsizetype at = -1;
        for (const QString& line : lines) {
            const qsizetype found = l.indexOf(line, at + 1);
            QVERIFY2(found > at, qPrintable(line + QStringLiteral("\n---\n") + l.join(QLatin1Char('\n'))));
            at = found;
        }
        // Nothing of the restore is left on this machine, and a test's database is gone.
        QCOMPARE(QDir(started.folder.path())
                     .entryList({QStringLiteral("*Wiederherstellung*"), QStringLiteral("*.part")},
                                QDir::Files | QDir::Hidden),
                 QStringList());
        BackupJob job;
        job.DBServer = server.dataSource();
        job.DBBenutzer = QStringLiteral("sa");
        job.DBPasswort = QStringLiteral("geheim");
        SqlRestore sql(job);
        QVERIFY(!sql.databaseExists(QStringLiteral("Lager_Wiederherstellungstest")));
        QCOMPARE(sql.databaseExists(QStringLiteral("Lager_Kopie")), how == QLatin1String("as"));
        if (how == QLatin1String("as")) {
            // Not again over it without being asked to replace it.
            RestoreRequest again;
            again.job = QStringLiteral("Lager");
            again.as = QStringLiteral("Lager_Kopie");
            QCOMPARE(started.core().restore(again), 1);
            QVERIFY(started.lines().contains(
                QStringLiteral("Die Datenbank Lager_Kopie gibt es schon; sie wird nur mit "
                               "--replace ersetzt")));
            again.replace = true;
            QCOMPARE(started.core().restore(again), 0);
        }
    }

private:
    FreeTdsTestConfig m_tdsConf;
};

int main(int argc, char** argv) {
    qputenv("LC_ALL", "de_DE.UTF-8");
    QCoreApplication app(argc, argv);
    TestProgramAssembly test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_programassembly.moc"
