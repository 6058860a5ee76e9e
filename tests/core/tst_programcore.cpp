// The program's policy with every part replaced by a recorder: start-up, the countdown, the
// automatic run, the close, the gating of runs, tests and mails, and the exit code.
#include "FakeClock.h"
#include "FakeTimers.h"
#include "FakeView.h"
#include "TempFolder.h"
#include "core/LogBook.h"
#include "core/ProgramCore.h"
#include "platform/ErrorCount.h"
#include "platform/ProgramError.h"
#include "platform/WorkerCall.h"
#include "settings/Dataset.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTest>
#include <QThread>
#include <QTimer>

namespace {

class FakeParts : public SettingsStore,
                  public SqlSteps,
                  public Packaging,
                  public Uploader,
                  public ReportMailer,
                  public ConnectionReport,
                  public ConnectivityProbe,
                  public UpdateCheck,
                  public SupportFiles {
public:
    explicit FakeParts(ErrorCount& errors) : m_errors(errors) {}

    // Settings.
    bool fileExists() const override { return fileThere; }
    bool create() override {
        calls << QStringLiteral("create");
        fileThere = createWorks;
        return createWorks;
    }
    void checkdatabase() override {
        calls << QStringLiteral("checkdatabase");
        if (!checkError.isEmpty())
            throw ProgramError(checkError);
    }
    bool connected() const override { return settingsOpen; }
    QList<BackupJob> jobsForRun() override {
        calls << QStringLiteral("jobsForRun");
        if (!jobsError.isEmpty())
            throw ProgramError(jobsError);
        return jobs;
    }
    void storeZipName(const BackupJob& job, const QString& name) override {
        calls << QStringLiteral("storeZipName ") + job.DBName + QLatin1Char(' ') + name;
    }
    BackupJob currentJob() override { return jobs.value(0); }
    GeneralSettings generalSettings() override { return {}; }
    Dataset& jobRows() override { return jobRowsShown; }
    Dataset& generalRows() override { return generalRowsShown; }
    void postPendingChanges() override {
        calls << QStringLiteral("postPendingChanges");
        if (!postError.isEmpty())
            throw ProgramError(postError);
    }

    // SQL Server steps.
    void arbeitsprozess(const BackupJob& job, const BackupFolders&) override {
        // As the real steps do: a job cannot reach its server while another call waits for one.
        if (WorkerCall::isWaiting())
            throw ProgramError(QStringLiteral("Ein Serverzugriff läuft noch"));
        calls << QStringLiteral("arbeitsprozess ") + job.DBName;
        m_errors.add(failuresPerJob);
        if (duringJob)
            duringJob();
    }
    QString connectionTest(const BackupJob& job) override {
        calls << QStringLiteral("connectionTest ") + job.DBName;
        return QStringLiteral("OK");
    }
    bool isBusy() const override { return sqlBusy; }

    // Packaging and upload.
    ArchiveLocation zipprozess(BackupJob& job, const QString&, const QString&,
                               const BackupFolders&, const ArchivePackager::SaveZipName&) override {
        calls << QStringLiteral("zipprozess ") + job.DBName;
        return {QStringLiteral("/tmp/x.ZIP"), job.DBName + QStringLiteral("3.ZIP")};
    }
    bool ftphochladen(const BackupJob&, const QString&, const QString& name,
                      UploadAttempt&) override {
        calls << QStringLiteral("ftphochladen ") + name;
        return true;
    }

    // Mail, probe, update, support files.
    void prepareCredentials() override { calls << QStringLiteral("prepareCredentials"); }
    void sendReport(qint32 errorCount) override {
        calls << QStringLiteral("sendReport %1").arg(errorCount);
        if (duringMail)
            duringMail();
        if (!mailError.isEmpty())
            throw ProgramError(mailError);
    }
    bool systemReportsConnection() override { return systemConnection; }
    QString publicAddress() override {
        calls << QStringLiteral("publicAddress");
        if (duringProbe)
            duringProbe();
        return online ? QStringLiteral("203.0.113.7") : QString();
    }
    void checkAutomatically() override {
        calls << QStringLiteral("checkAutomatically");
        if (!updateError.isEmpty())
            throw ProgramError(updateError);
    }
    void checkByHand() override {
        calls << QStringLiteral("checkByHand");
        if (duringUpdate)
            duringUpdate();
    }
    void fetchMissing() override { calls << QStringLiteral("fetchMissing"); }

    QStringList calls;
    QList<BackupJob> jobs;
    bool fileThere = false;
    bool createWorks = true;
    bool settingsOpen = true;
    bool sqlBusy = false;
    bool systemConnection = false;
    bool online = false;
    int failuresPerJob = 0;
    std::function<void()> duringJob, duringMail, duringUpdate, duringProbe;
    QString checkError, jobsError, postError, mailError, updateError;
    Dataset jobRowsShown, generalRowsShown; // never opened: the core does not edit them

private:
    ErrorCount& m_errors;
};

// A core in its own program folder, with recorders for everything around it.
struct Fixture {
    TempFolder folder;
    FakeClock clock{QDateTime(QDate(2026, 12, 9), QTime(2, 11, 29))};
    LogBook log{clock};
    ErrorCount errors;
    FakeParts fakes{errors};
    FakeTimers timers;
    FakeView view;
    std::unique_ptr<ProgramCore> core;

    explicit Fixture(QStringList arguments = {}, bool unattended = false) {
        ProgramParts s;
        s.settings = &fakes;
        s.sql = &fakes;
        s.packaging = &fakes;
        s.uploader = &fakes;
        s.mailer = &fakes;
        s.connection = &fakes;
        s.probe = &fakes;
        s.update = &fakes;
        s.supportFiles = &fakes;
        s.timers = &timers;
        s.clock = &clock;
        ProgramCore::Options o;
        o.programFolder = folder.path();
        o.arguments = std::move(arguments);
        o.buildDate = QStringLiteral("09.12.2026");
        o.unattended = unattended;
        core = std::make_unique<ProgramCore>(o, log, errors, s, view);
        // The window closes when the core asks, after its close query.
        view.onClose = [this] { closed = core->closeRequested(); };
    }

    // The text of each screen line, oldest first.
    QStringList lines() const {
        QStringList out;
        for (const QString& l : log.lines())
            out << l.mid(20);
        return out;
    }
    void writeIni(const QByteArray& content) {
        QFile f(folder.file(QStringLiteral("OrvelSQLBackup.INI")));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(content);
    }
    QByteArray ini() const {
        QFile f(folder.file(QStringLiteral("OrvelSQLBackup.INI")));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }
    // Window created, shown, and the start preparation run: the countdown is on.
    void startUp() {
        core->windowCreated();
        core->windowShown();
        timers.preparation().fire();
    }

    bool closed = false;
};

QStringList dayFileLines(const QString& folder) {
    const QDir logDir(folder + QStringLiteral("log"));
    const QStringList files = logDir.entryList({QStringLiteral("*.txt")}, QDir::Files);
    if (files.size() != 1)
        return {QStringLiteral("<%1 day files>").arg(files.size())};
    QFile f(logDir.filePath(files.first()));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QStringList out;
    for (const QByteArray& l : f.readAll().split('\n'))
        if (!l.isEmpty())
            out << QString::fromLatin1(l.chopped(1)).section(QLatin1Char(' '), 2);
    return out;
}

BackupJob job(const QString& name) {
    BackupJob j;
    j.DBName = name;
    return j;
}

} // namespace

class TestProgramCore : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void firstStartInEmptyFolder() {
        Fixture f;
        f.core->windowCreated();
        QCOMPARE(f.lines(), QStringList{QStringLiteral("Programm startet")});
        QCOMPARE(f.view.calls, QStringList{QStringLiteral("applyWindowSizeRule")});
        QCOMPARE(f.ini(), QByteArray("[OrvelSQLBackup]\r\nInternet=0\r\n"));

        f.core->windowShown();
        QVERIFY(f.core->preparationTimerActive());
        QCOMPARE(f.timers.preparation().interval(), 1000);
        QVERIFY(!QFileInfo::exists(f.folder.file(QStringLiteral("log"))));

        QVERIFY(f.timers.preparation().fire());
        QVERIFY(!f.core->preparationTimerActive());
        QVERIFY(
            QRegularExpression(QStringLiteral("^OrvelSQLBackup 4\\.0\\.0\\.0 09\\.12\\.2026 \\S"))
                .match(f.view.caption)
                .hasMatch());
        // What was logged before the log folder existed stands on screen only.
        QCOMPARE(dayFileLines(f.folder.path()),
                 (QStringList{QStringLiteral("Einstellungsdatenbank erstellt"),
                              QStringLiteral("Verbinde mit Einstellungsdatenbank"),
                              QStringLiteral("Prüfe Internetverbindung"),
                              QStringLiteral("keine Internetverbindung gefunden")}));
        // The mail credentials are ready when the window is shown, before the preparation.
        QCOMPARE(f.fakes.calls,
                 (QStringList{QStringLiteral("prepareCredentials"), QStringLiteral("create"),
                              QStringLiteral("checkdatabase"), QStringLiteral("publicAddress")}));
        QVERIFY(f.view.noticeShowing);
        QCOMPARE(f.view.noticeHtml, ProgramCore::kNoticeText);
        QCOMPARE(f.view.noticeMaxMs, 14000);
        QCOMPARE(f.view.noticeMinMs, 12000);
        QVERIFY(f.core->countdownActive());
        QCOMPARE(f.core->countdownInterval(), 15000);
        QVERIFY(!f.view.attached);
    }

    void settingsFileCreation_data() {
        QTest::addColumn<bool>("exists");
        QTest::addColumn<bool>("createWorks");
        QTest::addColumn<bool>("created");
        QTest::newRow("missing, created") << false << true << true;
        QTest::newRow("missing, creation fails") << false << false << false;
        QTest::newRow("already there") << true << true << false;
    }
    void settingsFileCreation() {
        QFETCH(bool, exists);
        QFETCH(bool, createWorks);
        QFETCH(bool, created);
        Fixture f;
        f.fakes.fileThere = exists;
        f.fakes.createWorks = createWorks;
        f.startUp();
        QCOMPARE(f.fakes.calls.contains(QStringLiteral("create")), !exists);
        QCOMPARE(f.lines().contains(QStringLiteral("Einstellungsdatenbank erstellt")), created);
        QVERIFY(f.core->countdownActive());
    }

    // The INI file: read without regard to case, only the one value written back, every other
    // byte left as it was.
    void iniSetting_data() {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<int>("setting");
        QTest::addColumn<QByteArray>("after");
        QTest::addColumn<QStringList>("startLines");
        QTest::addColumn<QStringList>("probeLines");
        const QStringList suppressed{QStringLiteral("Prüfe Internetverbindung"),
                                     QStringLiteral("Prüfung Internetverbindung unterdrückt")};
        const QStringList offline{QStringLiteral("Prüfe Internetverbindung"),
                                  QStringLiteral("keine Internetverbindung gefunden")};
        const QStringList none;
        const QStringList noNet{QStringLiteral("Keine Internetverbindung gesetzt")};
        QTest::newRow("no file") << QByteArray() << 0
                                 << QByteArray("[OrvelSQLBackup]\r\nInternet=0\r\n") << none
                                 << offline;
        QTest::newRow("letters") << QByteArray("[OrvelSQLBackup]\r\nInternet=abc\r\n") << 0
                                 << QByteArray("[OrvelSQLBackup]\r\nInternet=0\r\n") << none
                                 << offline;
        QTest::newRow("one") << QByteArray("[OrvelSQLBackup]\r\nInternet=1\r\n") << 1
                             << QByteArray("[OrvelSQLBackup]\r\nInternet=1\r\n") << noNet
                             << suppressed;
        QTest::newRow("two") << QByteArray("[OrvelSQLBackup]\r\nInternet=2\r\n") << 2
                             << QByteArray("[OrvelSQLBackup]\r\nInternet=2\r\n") << none
                             << suppressed;
        QTest::newRow("other section only")
            << QByteArray("[Sonstiges]\r\nInternet=1\r\n") << 0
            << QByteArray("[Sonstiges]\r\nInternet=1\r\n[OrvelSQLBackup]\r\nInternet=0\r\n") << none
            << offline;
        QTest::newRow("lower case one")
            << QByteArray("[orvelsqlbackup]\r\ninternet=1\r\n") << 1
            << QByteArray("[orvelsqlbackup]\r\ninternet=1\r\n") << noNet << suppressed;
        QTest::newRow("lower case letters")
            << QByteArray("[orvelsqlbackup]\r\ninternet=x\r\n") << 0
            << QByteArray("[orvelsqlbackup]\r\ninternet=0\r\n") << none << offline;
        const QByteArray kept(
            "; written by hand\r\n[Pfade]\r\nZiel Ordner=C:\\Sicherung 100%\r\n\r\n"
            "[OrvelSQLBackup]\r\n# letzte Änderung\r\nInternet = x \r\n");
        QTest::newRow("comments and other sections kept")
            << kept << 0
            << QByteArray("; written by hand\r\n[Pfade]\r\nZiel Ordner=C:\\Sicherung 100%\r\n\r\n"
                          "[OrvelSQLBackup]\r\n# letzte Änderung\r\nInternet = 0\r\n")
            << none << offline;
    }
    void iniSetting() {
        QFETCH(QByteArray, ini);
        QFETCH(int, setting);
        QFETCH(QByteArray, after);
        QFETCH(QStringList, startLines);
        QFETCH(QStringList, probeLines);
        Fixture f;
        if (!ini.isEmpty())
            f.writeIni(ini);
        f.fakes.systemConnection = true;
        f.fakes.online = true;
        f.core->windowCreated();
        QCOMPARE(f.core->internetSetting(), setting);
        QCOMPARE(f.lines(), QStringList{QStringLiteral("Programm startet")} + startLines);
        QCOMPARE(f.ini(), after);

        // Online functions only with 0: the support-file check, the probe, the update check.
        f.core->windowShown();
        QCOMPARE(f.fakes.calls.contains(QStringLiteral("fetchMissing")), setting == 0);
        f.timers.preparation().fire();
        const QStringList prep = f.lines();
        const QStringList probe =
            prep.mid(prep.indexOf(QStringLiteral("Verbinde mit Einstellungsdatenbank")) + 1);
        if (setting == 0)
            QCOMPARE(probe, (QStringList{QStringLiteral("Prüfe Internetverbindung"),
                                         QStringLiteral("Internetverbindung verfügbar"),
                                         QStringLiteral("IP-Adresse: 203.0.113.7")}));
        else
            QCOMPARE(probe, probeLines);
        f.core->checkForUpdate();
        QCOMPARE(f.fakes.calls.contains(QStringLiteral("checkByHand")), setting == 0);
        f.timers.countdown().fire();
        QCOMPARE(f.lines().contains(QStringLiteral("Kein Zugriff auf das Internet möglich")),
                 setting != 0);
        QCOMPARE(f.fakes.calls.contains(QStringLiteral("checkAutomatically")), setting == 0);
    }

    void unwritableIniSkipsRestOfCreation() {
        Fixture f({QStringLiteral("nozip")});
        QVERIFY(QDir().mkpath(
            f.folder.file(QStringLiteral("OrvelSQLBackup.INI")))); // a folder in its way
        f.core->windowCreated();
        QCOMPARE(f.lines(),
                 (QStringList{QStringLiteral("Programm startet"),
                              QStringLiteral("In %1 kann nicht geschrieben werden")
                                  .arg(f.folder.file(QStringLiteral("OrvelSQLBackup.INI")))}));
        QVERIFY(f.core->firstStartParameter().isEmpty());
        QVERIFY(f.view.calls.isEmpty()); // no size rule
        // The rest of the start-up goes on.
        f.core->windowShown();
        f.timers.preparation().fire();
        QVERIFY(f.core->countdownActive());
    }

    void startParameters_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("first");
        QTest::addColumn<bool>("packs");
        QTest::newRow("none") << QStringList{} << QString() << true;
        QTest::newRow("nozip") << QStringList{QStringLiteral("nozip")} << QStringLiteral("nozip")
                               << false;
        QTest::newRow("NoZip") << QStringList{QStringLiteral("NoZip")} << QStringLiteral("NoZip")
                               << true;
        QTest::newRow("-nozip") << QStringList{QStringLiteral("-nozip")} << QStringLiteral("-nozip")
                                << true;
        QTest::newRow("second position")
            << QStringList{QStringLiteral("x"), QStringLiteral("nozip")} << QStringLiteral("x")
            << true;
        // What a toolkit would take for its own option is still the first argument.
        QTest::newRow("-reverse first")
            << QStringList{QStringLiteral("-reverse"), QStringLiteral("nozip")}
            << QStringLiteral("-reverse") << true;
    }
    void startParameters() {
        QFETCH(QStringList, args);
        QFETCH(QString, first);
        QFETCH(bool, packs);
        Fixture f(args);
        f.core->windowCreated();
        QCOMPARE(f.core->firstStartParameter(), first);
        const QStringList expected = first.isEmpty()
                                         ? QStringList{QStringLiteral("Programm startet")}
                                         : QStringList{QStringLiteral("Programm startet"),
                                                       QStringLiteral("Startparameter: ") + first};
        QCOMPARE(f.lines(), expected);
        f.fakes.jobs = {job(QStringLiteral("Lager"))};
        f.core->startBackupRun();
        QCOMPARE(f.fakes.calls.contains(QStringLiteral("zipprozess Lager")), packs);
    }

    void clickOnNoticeStopsTheAutomaticRun() {
        Fixture f;
        f.startUp();
        f.core->noticeClicked();
        QVERIFY(!f.core->countdownActive());
        QVERIFY(!f.view.noticeShowing);
        QCOMPARE(f.lines().last(),
                 QStringLiteral("Automatische Programmausführung wurde deaktiviert"));
        QVERIFY(f.view.attached);
        QVERIFY(!f.timers.countdown().fire());
        QVERIFY(!f.fakes.calls.contains(QStringLiteral("jobsForRun")));
        QCOMPARE(f.view.closeRequests, 0);
    }

    void automaticRunRunsEveryStepAndCloses_data() {
        QTest::addColumn<bool>("failures");
        QTest::newRow("clean") << false;
        QTest::newRow("every step throws") << true;
    }
    void automaticRunRunsEveryStepAndCloses() {
        QFETCH(bool, failures);
        Fixture f;
        f.fakes.online = true;
        if (failures) {
            f.fakes.jobsError = QStringLiteral("Lauf kaputt");
            f.fakes.mailError = QStringLiteral("Mail kaputt");
            f.fakes.updateError = QStringLiteral("Update kaputt");
        }
        f.startUp();
        const int before = f.lines().size();
        f.fakes.calls.clear();
        QVERIFY(f.timers.countdown().fire());
        QCOMPARE(f.fakes.calls, (QStringList{QStringLiteral("jobsForRun"),
                                             QStringLiteral("sendReport %1").arg(failures ? 1 : 0),
                                             QStringLiteral("checkAutomatically"),
                                             QStringLiteral("postPendingChanges")}));
        // The run logs and counts what stops it; what escapes the mail or the update is dropped
        // without a line.
        const QStringList run =
            failures ? QStringList{QStringLiteral("Lauf kaputt"),
                                   QStringLiteral("FEHLER: Verarbeitung abgebrochen"),
                                   QStringLiteral("Fehleranzahl: 1")}
                     : QStringList{QStringLiteral("Verarbeitung abgeschlossen"),
                                   QStringLiteral("Fehleranzahl: 0")};
        const QStringList end{QStringLiteral("Installierte Programmversion: 4.0.0.0"),
                              QStringLiteral("Programm wird beendet")};
        QCOMPARE(f.lines().mid(before), run + end);
        QCOMPARE(f.view.closeRequests, 1);
        QVERIFY(f.closed);
        QCOMPARE(f.core->exitCode(), failures ? 1 : 0);
    }

    void closingDuringCountdownEndsWithoutRun() {
        Fixture f;
        f.startUp();
        QVERIFY(f.core->closeRequested());
        QVERIFY(!f.core->countdownActive());
        QVERIFY(!f.view.noticeShowing);
        QCOMPARE(f.lines().last(), QStringLiteral("Programm wird beendet"));
        QVERIFY(!f.fakes.calls.contains(QStringLiteral("jobsForRun")));
    }

    // A failed preparation: with a window, it stays open without a countdown. Without a display
    // the automatic run still comes; the failure is counted, so the log, the report and the exit
    // code say so.
    void failingSettingsCheck_data() {
        QTest::addColumn<bool>("unattended");
        QTest::newRow("window") << false;
        QTest::newRow("no display") << true;
    }
    void failingSettingsCheck() {
        QFETCH(bool, unattended);
        Fixture f({}, unattended);
        f.fakes.checkError = QStringLiteral("Tabelle kann nicht geöffnet werden");
        f.startUp();
        QVERIFY(!f.view.noticeShowing);
        QVERIFY(f.view.attached);
        QCOMPARE(f.core->exitCode(), 2);
        if (!unattended) {
            QCOMPARE(f.lines().last(), QStringLiteral("Tabelle kann nicht geöffnet werden"));
            QVERIFY(!f.core->countdownActive());
            return;
        }
        QCOMPARE(f.lines().mid(f.lines().size() - 2),
                 (QStringList{QStringLiteral("Tabelle kann nicht geöffnet werden"),
                              QStringLiteral("FEHLER: Startvorbereitung abgebrochen")}));
        QCOMPARE(f.core->countdownInterval(), 15000);
        f.fakes.jobs = {job(QStringLiteral("Lager"))};
        QVERIFY(f.timers.countdown().fire());
        QVERIFY(f.lines().contains(QStringLiteral("Fehleranzahl: 1")));
        QVERIFY(f.fakes.calls.contains(QStringLiteral("sendReport 1")));
        QVERIFY(f.closed);
        QCOMPARE(f.core->exitCode(), 2);
    }

    // Settings that could not be opened (wrong key, a file that is no settings file, a lock):
    // the start goes on, the run comes and fails, and the scheduler sees a failed start.
    void settingsNotOpened_data() {
        QTest::addColumn<bool>("unattended");
        QTest::newRow("window") << false;
        QTest::newRow("no display") << true;
    }
    void settingsNotOpened() {
        QFETCH(bool, unattended);
        Fixture f({}, unattended);
        f.fakes.fileThere = true;
        f.fakes.settingsOpen = false;
        f.fakes.jobsError = QStringLiteral("Die Einstellungen sind nicht geöffnet");
        f.startUp();
        QVERIFY(f.view.noticeShowing);
        QVERIFY(f.core->countdownActive());
        QVERIFY(!f.fakes.calls.contains(QStringLiteral("create")));
        QVERIFY(!f.lines().contains(QStringLiteral("FEHLER: Startvorbereitung abgebrochen")));
        QVERIFY(f.timers.countdown().fire());
        QVERIFY(f.closed);
        // Counted once, by the run that could not read its jobs.
        QVERIFY(f.lines().contains(QStringLiteral("Fehleranzahl: 1")));
        QCOMPARE(f.core->exitCode(), 2);
    }

    void refusedPostOnClose_data() {
        QTest::addColumn<bool>("unattended");
        QTest::newRow("window stays open") << false;
        QTest::newRow("no display: the program ends") << true;
    }
    void refusedPostOnClose() {
        QFETCH(bool, unattended);
        Fixture f({}, unattended);
        f.startUp();
        f.fakes.postError = QStringLiteral("Feld 'DBServer' darf nicht leer sein");
        QCOMPARE(f.core->closeRequested(), unattended);
        const QStringList tail =
            unattended ? QStringList{QStringLiteral("Feld 'DBServer' darf nicht leer sein"),
                                     QStringLiteral(
                                         "FEHLER: Änderungen der Einstellungen nicht gespeichert"),
                                     QStringLiteral("Programm wird beendet")}
                       : QStringList{QStringLiteral("Feld 'DBServer' darf nicht leer sein")};
        QCOMPARE(f.lines().mid(f.lines().size() - tail.size()), tail);
        QCOMPARE(f.core->countdownActive(), !unattended);
        if (!unattended) {
            f.fakes.postError.clear();
            QVERIFY(f.core->closeRequested());
            QCOMPARE(f.lines().last(), QStringLiteral("Programm wird beendet"));
        }
    }

    // The countdown ends while a connection test or a run started by hand is under way: the
    // automatic run waits for it, then takes its whole course.
    void countdownEndingWhileBusyWaits() {
        Fixture f;
        f.fakes.jobs = {job(QStringLiteral("Lager"))};
        f.startUp();
        f.fakes.sqlBusy = true;
        QVERIFY(f.timers.countdown().fire());
        QVERIFY(f.core->countdownActive());
        QCOMPARE(f.core->countdownInterval(), 1000);
        QVERIFY(!f.fakes.calls.contains(QStringLiteral("jobsForRun")));
        QCOMPARE(f.view.closeRequests, 0);
        f.fakes.sqlBusy = false;
        QVERIFY(f.timers.countdown().fire());
        QVERIFY(f.lines().contains(QStringLiteral("Verarbeitung abgeschlossen")));
        QVERIFY(f.lines().contains(QStringLiteral("Fehleranzahl: 0")));
        QVERIFY(f.closed);
    }

    // The countdown ends while a call started by hand still waits for its server: the automatic
    // run waits for it, then runs every job; none is turned away by the call.
    void countdownEndingWhileACallRunsWaits_data() {
        QTest::addColumn<QString>("busyWith");
        QTest::newRow("update check by hand") << "update check";
        QTest::newRow("pending server call") << "server call";
        QTest::newRow("mail by hand") << "mail";
    }
    void countdownEndingWhileACallRunsWaits() {
        QFETCH(QString, busyWith);
        Fixture f;
        f.fakes.jobs = {job(QStringLiteral("Lager")), job(QStringLiteral("Kasse"))};
        f.fakes.online = true;
        f.startUp();
        bool waited = false;
        const auto countdownEnds = [&] {
            QVERIFY(f.timers.countdown().fire());
            waited = f.core->countdownActive() && f.core->countdownInterval() == 1000 &&
                     !f.fakes.calls.contains(QStringLiteral("jobsForRun")) &&
                     f.view.closeRequests == 0;
        };
        if (busyWith == QLatin1String("update check")) {
            f.fakes.duringUpdate = countdownEnds;
            f.core->checkForUpdate();
        } else if (busyWith == QLatin1String("mail")) {
            f.fakes.duringMail = countdownEnds;
            f.core->sendReport();
        } else {
            QTimer::singleShot(0, countdownEnds);
            WorkerCall::run([] { QThread::msleep(100); });
        }
        QVERIFY(waited);

        f.fakes.duringUpdate = f.fakes.duringMail = nullptr;
        QVERIFY(f.timers.countdown().fire());
        QCOMPARE(f.fakes.calls.filter(QStringLiteral("arbeitsprozess")),
                 (QStringList{QStringLiteral("arbeitsprozess Lager"),
                              QStringLiteral("arbeitsprozess Kasse")}));
        QVERIFY(!f.lines().contains(QStringLiteral("FEHLER: Verarbeitung abgebrochen")));
        QVERIFY(f.lines().contains(QStringLiteral("Fehleranzahl: 0")));
        QVERIFY(f.fakes.calls.contains(QStringLiteral("sendReport 0")));
        QVERIFY(f.closed);
        QCOMPARE(f.core->exitCode(), 0);
    }

    // "Sicherungen jetzt ausführen" while a mail, an update check or the start's probe waits for
    // its server: refused with its line, the last run's count left as it was.
    void startButtonWhileACallRunsIsRefused_data() {
        QTest::addColumn<QString>("busyWith");
        QTest::newRow("mail") << "mail";
        QTest::newRow("update check") << "update check";
        QTest::newRow("probe") << "probe";
    }
    void startButtonWhileACallRunsIsRefused() {
        QFETCH(QString, busyWith);
        Fixture f;
        f.fakes.jobs = {job(QStringLiteral("Lager"))};
        f.fakes.online = true;
        f.errors.add(3); // what the last run counted
        const QString refused = QStringLiteral(
            "Emailversand oder Serverabfrage läuft, die Sicherung wird nicht gestartet");
        QString lineAfterPress;
        qint32 countAfterPress = -1;
        const auto pressStart = [&] {
            f.core->startBackupRun();
            lineAfterPress = f.lines().last();
            countAfterPress = f.core->errorCount();
        };
        if (busyWith == QLatin1String("probe")) {
            f.fakes.duringProbe = pressStart;
            f.startUp();
        } else {
            f.startUp();
            f.core->noticeClicked();
            if (busyWith == QLatin1String("mail")) {
                f.fakes.duringMail = pressStart;
                f.core->sendReport();
            } else {
                f.fakes.duringUpdate = pressStart;
                f.core->checkForUpdate();
            }
        }
        QCOMPARE(lineAfterPress, refused);
        QCOMPARE(countAfterPress, 3);
        QCOMPARE(f.core->errorCount(), 3);
        QVERIFY(!f.fakes.calls.contains(QStringLiteral("jobsForRun")));
        QVERIFY(!f.lines().contains(QStringLiteral("FEHLER: Verarbeitung abgebrochen")));

        // Once the call has ended, the button starts the run.
        f.fakes.duringProbe = f.fakes.duringMail = f.fakes.duringUpdate = nullptr;
        f.core->startBackupRun();
        QVERIFY(f.fakes.calls.contains(QStringLiteral("arbeitsprozess Lager")));
        QCOMPARE(f.lines().last(), QStringLiteral("Fehleranzahl: 0"));
        QCOMPARE(f.lines().count(refused), 1);
    }

    // Runs, tests and mails by hand never interleave with each other.
    void gating() {
        Fixture f;
        f.fakes.jobs = {job(QStringLiteral("Lager"))};
        f.startUp();
        f.fakes.duringJob = [&] {
            f.fakes.duringJob = nullptr;
            f.core->testConnection();
            f.core->sendReport();
            f.timers.countdown().fire();
        };
        f.core->startBackupRun();
        QVERIFY(f.lines().contains(
            QStringLiteral("Verbindungstest während einer laufenden Sicherung nicht möglich")));
        QVERIFY(f.lines().contains(
            QStringLiteral("Sicherung oder Emailversand läuft, die Email wird nicht verschickt")));
        QVERIFY(!f.fakes.calls.contains(QStringLiteral("connectionTest Lager")));
        QVERIFY(f.fakes.calls.filter(QStringLiteral("sendReport")).isEmpty());
        QCOMPARE(f.view.closeRequests, 0); // the automatic run waits for the run
        QVERIFY(f.core->countdownActive());

        f.fakes.sqlBusy = true; // a connection test waits for its server
        f.core->startBackupRun();
        QCOMPARE(f.lines().last(),
                 QStringLiteral("Verbindungstest läuft, die Sicherung wird nicht gestartet"));
        f.fakes.sqlBusy = false;
        f.core->testConnection();
        QCOMPARE(f.view.connectionResult, QStringLiteral("OK"));
    }

    // "auf Update prüfen" while a run, a connection test, a mail, an update check or any other
    // call to a server is under way: refused with its line, never ending in "no newer version".
    void updateCheckWhileBusyIsRefused_data() {
        QTest::addColumn<QString>("busyWith");
        QTest::newRow("run") << "run";
        QTest::newRow("connection test") << "connection test";
        QTest::newRow("mail") << "mail";
        QTest::newRow("update check") << "update check";
        QTest::newRow("server call") << "server call";
    }
    void updateCheckWhileBusyIsRefused() {
        QFETCH(QString, busyWith);
        Fixture f;
        f.fakes.jobs = {job(QStringLiteral("Lager"))};
        f.fakes.systemConnection = true;
        f.fakes.online = true;
        f.startUp();
        f.core->noticeClicked();
        const QString refused =
            QStringLiteral("Sicherung oder Serverabfrage läuft, auf Update wird nicht geprüft");
        int refusals = 0;
        const auto pressUpdate = [&] {
            f.core->checkForUpdate();
            refusals = f.lines().count(refused);
        };
        if (busyWith == QLatin1String("run")) {
            f.fakes.duringJob = pressUpdate;
            f.core->startBackupRun();
        } else if (busyWith == QLatin1String("connection test")) {
            f.fakes.sqlBusy = true;
            pressUpdate();
            f.fakes.sqlBusy = false;
        } else if (busyWith == QLatin1String("mail")) {
            f.fakes.duringMail = pressUpdate;
            f.core->sendReport();
        } else if (busyWith == QLatin1String("update check")) {
            f.fakes.duringUpdate = [&] {
                f.fakes.duringUpdate = nullptr;
                pressUpdate();
            };
            f.core->checkForUpdate();
        } else {
            // The main thread waits for a worker; a click comes in meanwhile.
            QTimer::singleShot(0, pressUpdate);
            WorkerCall::run([] { QThread::msleep(200); });
        }
        QCOMPARE(refusals, 1);
        QCOMPARE(f.lines().last() == refused, busyWith != QLatin1String("run"));
        const int expectedChecks = busyWith == QLatin1String("update check") ? 1 : 0;
        QCOMPARE(f.fakes.calls.count(QStringLiteral("checkByHand")), expectedChecks);

        // Once nothing is under way, the button checks again.
        f.core->checkForUpdate();
        QCOMPARE(f.fakes.calls.count(QStringLiteral("checkByHand")), expectedChecks + 1);
        QCOMPARE(f.lines().count(refused), 1);
    }

    void exitCodes_data() {
        QTest::addColumn<int>("failures");
        QTest::addColumn<int>("code");
        QTest::newRow("clean night") << 0 << 0;
        QTest::newRow("a step failed") << 1 << 1;
    }
    void exitCodes() {
        QFETCH(int, failures);
        QFETCH(int, code);
        Fixture f({}, true);
        f.fakes.jobs = {job(QStringLiteral("Lager"))};
        f.fakes.failuresPerJob = failures;
        f.startUp();
        f.timers.countdown().fire();
        QVERIFY(f.closed);
        QCOMPARE(f.core->exitCode(), code);
    }

    void exceptionEscapingAStepBecomesALogLine() {
        Fixture f;
        f.core->windowCreated();
        f.fakes.mailError = QStringLiteral("Verbindung zum Mailserver unterbrochen");
        f.core->sendReport();
        QCOMPARE(f.lines().last(), QStringLiteral("Verbindung zum Mailserver unterbrochen"));
    }
};

int main(int argc, char** argv) {
    qputenv("LC_ALL", "de_DE.UTF-8");
    QCoreApplication app(argc, argv);
    TestProgramCore test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_programcore.moc"
