// The window with its real settings file, SQL Server steps and archive packaging: a whole backup
// run against the TDS test server, the connection test, and a start with a broken settings file.
#include "backup/ArchivePackager.h"
#include "backup/BackupRun.h"
#include "settings/Dataset.h"
#include "FakeClock.h"
#include "ScreenLog.h"
#include "settings/SettingsDatabase.h"
#include "app/TOrvelSQLBackupMain.h"
#include "FreeTdsTestConfig.h"
#include "TdsTestServer.h"
#include "TempFolder.h"
#include "ui_TOrvelSQLBackupMain.h"

#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

namespace {
class Window : public TOrvelSQLBackupMain {
public:
    Window(const QString& folder, const Clock* clock, QStringList args = {})
        : TOrvelSQLBackupMain(options(folder, clock, std::move(args))) {}
    static Options options(const QString& folder, const Clock* clock, QStringList args) {
        Options o;
        o.programFolder = folder;
        o.clock = clock;
        o.arguments = std::move(args);
        return o;
    }
    bool ftphochladen(const QString& path, const QString& name) override {
        uploads << name;
        return QFileInfo::exists(path);
    }
    QStringList lines() const { return screenEntriesOldestFirst(*ui->Memo1); }
    QStringList uploads;
};

// The window brought up to the countdown, as at every start.
void startUp(Window& w) {
    w.FormCreate(&w);
    w.Timer1Timer(&w.Timer1);
}

// A window brought up to the countdown in its own program folder, on a Wednesday night.
struct Started {
    TempFolder folder;
    FakeClock clock{QDateTime(QDate(2026, 12, 9), QTime(2, 11, 29))};
    Window w;
    explicit Started(QStringList args = {}) : w(folder.path(), &clock, std::move(args)) { startUp(w); }
};

void addJob(Dataset& jobs, const QString& name, const QString& server, const QString& password, bool ftp) {
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
        return {QStringLiteral("<unreadable: %1>").arg(QString::fromUtf8(p.readAllStandardError()))};
    return QString::fromUtf8(p.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}
} // namespace

class TestWindowEngine : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { QVERIFY(m_tdsConf.install()); }

    void firstStartCreatesTheSettingsFile() {
        Started started;
        Window& w = started.w;
        const QStringList l = w.lines();
        const int at = l.indexOf(QStringLiteral("Einstellungsdatenbank erstellt"));
        QVERIFY2(at > 0, qPrintable(l.join(QLatin1Char('\n'))));
        QCOMPARE(l.mid(at, 4), (QStringList{QStringLiteral("Einstellungsdatenbank erstellt"),
                                            QStringLiteral("Verbinde mit Einstellungsdatenbank"),
                                            QStringLiteral("Einstellungsdatenbank verbunden"),
                                            QStringLiteral("Datenbank erfolgreich geöffnet")}));
        QVERIFY(w.queryDatenbanken().isOpen());
        QCOMPARE(w.queryBenutzerdaten().recordCount(), 1);
    }

    void brokenSettingsFileStillEndsTheAutomaticRun_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("no database at all") << QByteArray("Dies ist keine Datenbank.\r\n").repeated(200);
        QTest::newRow("other password") << QByteArray();
    }
    void brokenSettingsFileStillEndsTheAutomaticRun() {
        QFETCH(QByteArray, content);
        TempFolder folder;
        const QString path = folder.file(QStringLiteral("sqlback.mdb"));
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
        FakeClock clock(QDateTime(QDate(2026, 12, 9), QTime(2, 11, 29)));
        Window w(folder.path(), &clock);
        QSignalSpy closed(&w, &TOrvelSQLBackupMain::closed);
        w.show();
        startUp(w);
        const QStringList l = w.lines();
        const int at = l.indexOf(QStringLiteral("Verbinde mit Einstellungsdatenbank"));
        QCOMPARE(l.mid(at, 3), (QStringList{QStringLiteral("Verbinde mit Einstellungsdatenbank"),
                                            QStringLiteral("FEHLER: Keine Verbindung zur Einstellungsdatenbank"),
                                            QStringLiteral("Datenbank kann nicht geöffnet werden")}));
        QVERIFY(w.Timer2.isActive());
        w.Timer2Timer(&w.Timer2);
        // The run could not read its jobs: that shows in the log and in the count the report reads.
        QVERIFY(w.lines().contains(QStringLiteral("FEHLER: Verarbeitung abgebrochen")));
        QCOMPARE(w.errorCount().value(), 1);
        QCOMPARE(closed.count(), 1);
        QCOMPARE(w.lines().last(), QStringLiteral("Programm wird beendet"));
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

        TempFolder folder;
        TempFolder copies;
        FakeClock clock(QDateTime(QDate(2026, 12, 9), QTime(2, 11, 29))); // a Wednesday
        Window w(folder.path(), &clock);
        startUp(w);
        addJob(w.queryDatenbanken(), QStringLiteral("Lager"), server.dataSource(), QStringLiteral("geheim"), true);
        addJob(w.queryDatenbanken(), QStringLiteral("Kasse"), server.dataSource(), QStringLiteral("geheim"), false);
        Dataset& general = w.queryBenutzerdaten();
        general.edit();
        general.setValue(QStringLiteral("OrdnerZIPDateien"), QDir::cleanPath(copies.path()));
        general.post();

        w.ui->Memo1->clear();
        QTest::mouseClick(w.ui->btnStart, Qt::LeftButton);
        const QStringList l = w.lines();
        QCOMPARE(l.last(), QStringLiteral("Fehleranzahl: 0"));
        QVERIFY2(l.filter(QStringLiteral("FEHLER")).isEmpty(), qPrintable(l.join(QLatin1Char('\n'))));

        QCOMPARE(zipEntries(folder.file(QStringLiteral("Lager3.ZIP"))),
                 (QStringList{QStringLiteral("Lager.BAK"), QStringLiteral("Lager.TRN")}));
        QCOMPARE(zipEntries(folder.file(QStringLiteral("Kasse3.ZIP"))), QStringList{QStringLiteral("Kasse.BAK")});
        QVERIFY(QFileInfo::exists(copies.file(QStringLiteral("Lager3.ZIP"))));
        QVERIFY(QFileInfo::exists(copies.file(QStringLiteral("Kasse3.ZIP"))));
        QCOMPARE(w.uploads, QStringList{QStringLiteral("Lager3.ZIP")});

        // The empty archive names were filled in and stored.
        w.queryDatenbanken().first();
        QCOMPARE(w.queryDatenbanken().value(QStringLiteral("ZIP_Dateiname")).toString(), QStringLiteral("Lager"));
        w.queryDatenbanken().close();
        w.queryDatenbanken().open();
        QCOMPARE(w.queryDatenbanken().value(QStringLiteral("ZIP_Dateiname")).toString(), QStringLiteral("Lager"));
    }

    void connectionTest_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("caption");
        QTest::newRow("reachable") << "Lager" << "geheim" << "OK";
        QTest::newRow("wrong password") << "Lager" << "falsch" << "Erfolglos";
        QTest::newRow("missing database") << "Fehlt" << "geheim" << "Erfolglos";
    }
    void connectionTest() {
        QFETCH(QString, name);
        QFETCH(QString, password);
        QFETCH(QString, caption);
        TdsTestServer server;
        QVERIFY2(server.start(TdsTestServer::defaultScenario()), qPrintable(server.errorText()));
        Started started;
        Window& w = started.w;
        addJob(w.queryDatenbanken(), name, server.dataSource(), password, false);
        const int lines = w.lines().size();
        w.Button2Click(w.Button2);
        QCOMPARE(w.lblcheckconnection->text(), caption);
        QCOMPARE(w.lines().size(), lines); // no log line
        QCOMPARE(w.errorCount().value(), 0);
    }

    // The values being typed are stored first and are what the test uses.
    void connectionTestStoresThePendingEditFirst() {
        TdsTestServer server;
        QVERIFY2(server.start(TdsTestServer::defaultScenario()), qPrintable(server.errorText()));
        Started started;
        Window& w = started.w;
        addJob(w.queryDatenbanken(), QStringLiteral("Lager"), server.dataSource(), QStringLiteral("falsch"), false);
        Dataset& jobs = w.queryDatenbanken();
        jobs.edit();
        jobs.setValue(QStringLiteral("DBPasswort"), QStringLiteral("geheim"));
        w.Button2Click(w.Button2);
        QCOMPARE(w.lblcheckconnection->text(), QStringLiteral("OK"));
        QCOMPARE(jobs.state(), DatasetState::Browse);
    }

    void connectionTestWithoutDatabaseName() {
        Started started;
        Window& w = started.w;
        w.Button2Click(w.Button2);
        QCOMPARE(w.lblcheckconnection->text(), QStringLiteral("keine Datenbank eingestellt"));
    }

    // A click on the connection test while a run is under way is turned away with a line.
    void connectionTestDuringARunIsRefused() {
        Started started({QStringLiteral("nozip")});
        Window& w = started.w;
        addJob(w.queryDatenbanken(), QStringLiteral("Lager"), QStringLiteral("127.0.0.1,1"),
               QStringLiteral("x"), false);
        bool clicked = false;
        w.logBook().setMessagePump([&] {
            if (!clicked && w.backupRun().isRunning()) {
                clicked = true;
                w.Button2Click(w.Button2);
            }
        });
        w.btnStartClick(w.ui->btnStart);
        QVERIFY(clicked);
        QVERIFY(w.lines().contains(QStringLiteral("Verbindungstest während einer laufenden Sicherung nicht möglich")));
        QCOMPARE(w.lblcheckconnection->text(), QStringLiteral("..."));
    }

    // The countdown ends while a run started by hand is under way: the automatic run waits for it
    // instead of mailing a half-done count and closing in the middle.
    void countdownEndingDuringAManualRunWaitsForIt() {
        TempFolder folder;
        FakeClock clock(QDateTime(QDate(2026, 12, 9), QTime(2, 11, 29)));
        Window w(folder.path(), &clock, {QStringLiteral("nozip")});
        QSignalSpy closed(&w, &TOrvelSQLBackupMain::closed);
        w.show();
        startUp(w);
        addJob(w.queryDatenbanken(), QStringLiteral("Lager"), QStringLiteral("127.0.0.1,1"),
               QStringLiteral("x"), false);
        bool fired = false;
        w.logBook().setMessagePump([&] {
            if (!fired && w.backupRun().isRunning()) {
                fired = true;
                w.Timer2Timer(&w.Timer2);
            }
        });
        w.btnStartClick(w.ui->btnStart);
        QVERIFY(fired);
        QCOMPARE(closed.count(), 0);
        QVERIFY(w.isVisible());
        QVERIFY(w.Timer2.isActive());
        QVERIFY(!w.lines().contains(QStringLiteral("Programm wird beendet")));
        QCOMPARE(w.lines().count(QStringLiteral("Verarbeitung abgeschlossen")), 1);
        w.logBook().setMessagePump({});
        // Once the run is over, the automatic run takes its course.
        w.Timer2Timer(&w.Timer2);
        QCOMPARE(closed.count(), 1);
        QCOMPARE(w.lines().count(QStringLiteral("Verarbeitung abgeschlossen")), 2);
    }

private:
    FreeTdsTestConfig m_tdsConf;
};

int main(int argc, char** argv) {
    qputenv("LC_ALL", "de_DE.UTF-8");
    QApplication app(argc, argv);
    TestWindowEngine test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_windowengine.moc"
