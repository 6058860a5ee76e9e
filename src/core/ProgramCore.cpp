#include "core/ProgramCore.h"

#include "core/BackupRun.h"
#include "core/RestoreRun.h"
#include "core/LogBook.h"
#include "core/MetricsFile.h"
#include "core/ProgramView.h"
#include "core/RunStateFile.h"
#include "platform/IniFile.h"
#include "platform/ProgramError.h"
#include "platform/VersionInfo.h"
#include "platform/WorkerCall.h"

#include <QDir>
#include <QElapsedTimer>
#include <QScopeGuard>

const QString ProgramCore::kNoticeText = QStringLiteral(
    "<FONT size=\"16\">Der automatische Verarbeitungsprozess startet nach 10 Sekunden.<BR><BR>"
    "<U>Klicken Sie bitte HIER</U>, um den Start zu verhindern. <BR><BR>Dann können Sie "
    "Einstellungen im Programm vornehmen.</FONT>");
const QString ProgramCore::kIniFileName = QStringLiteral("OrvelSQLBackup.INI");

namespace {
const QString kIniSection = QStringLiteral("OrvelSQLBackup");
const QString kIniKey = QStringLiteral("Internet");
} // namespace

ProgramCore::ProgramCore(Options options, LogBook& log, ErrorCount& errors, ProgramParts parts,
                         ProgramView& view)
    : m_options(std::move(options)), m_log(log), m_errors(errors), m_parts(parts), m_view(view) {
    m_run = std::make_unique<BackupRun>(m_log, m_errors, m_parts);
    m_restore = std::make_unique<RestoreRun>(m_log, m_errors, m_parts, m_options.programFolder);
    m_timer1 = m_parts.timers->createTimer([this] { Timer1Timer(); });
    m_timer2 = m_parts.timers->createTimer([this] { Timer2Timer(); });
}

ProgramCore::~ProgramCore() = default;

template <class F> void ProgramCore::guarded(F&& step) {
    try {
        step();
    } catch (const std::exception& e) {
        exceptionRaised(e);
    } catch (...) {
        exceptionRaised(ProgramError(QStringLiteral("Unbekannter Fehler")));
    }
}

void ProgramCore::exceptionRaised(const std::exception& e) {
    m_log.writelogentry(exceptionText(e));
}

bool ProgramCore::backupRunning() const {
    return m_run->isRunning();
}

void ProgramCore::windowCreated() {
    m_logFolder = m_options.programFolder + QStringLiteral("log/");
    m_log.setLogFolder(m_logFolder);
    m_log.clearScreen();
    m_log.writelogentry(QStringLiteral("Programm startet"));
    // An INI file that cannot be written ends the creation here: size rule and start parameter
    // are skipped for this start, the rest of the start-up goes on.
    guarded([this] {
        readInternetSetting();
        m_view.applyWindowSizeRule();
        m_firstStartParameter = m_options.arguments.value(0);
        if (!m_firstStartParameter.isEmpty())
            m_log.writelogentry(QStringLiteral("Startparameter: ") + m_firstStartParameter);
    });
}

void ProgramCore::readInternetSetting() {
    IniFile ini(iniFileName());
    bool ok = false;
    m_internetSetting = ini.value(kIniSection, kIniKey).value_or(QString()).trimmed().toInt(&ok);
    if (!ok)
        m_internetSetting = 0;
    if (m_internetSetting == 0)
        ini.setValue(kIniSection, kIniKey, QStringLiteral("0"));
    if (m_internetSetting == 1)
        m_log.writelogentry(QStringLiteral("Keine Internetverbindung gesetzt"));
}

void ProgramCore::windowShown() {
    guarded([this] {
        // The setting first: with the online functions off, the system is not even asked.
        if (m_internetSetting == 0 && m_parts.connection->systemReportsConnection())
            m_parts.supportFiles->fetchMissing();
        m_parts.mailer->prepareCredentials();
        m_timer1->start(kPreparationDelayMs);
    });
}

void ProgramCore::Timer1Timer() {
    m_timer1->stop();
    bool prepared = false;
    guarded([this, &prepared] {
        prepareStart();
        prepared = true;
    });
    if (prepared)
        return;
    m_preparationFailed = true;
    // Without a display nobody would ever stop waiting: the automatic run still comes, counts the
    // failure and the program ends. With a window, it stays open for the settings.
    if (m_options.unattended && !m_timer2->isActive()) {
        m_log.writelogentry(QStringLiteral("FEHLER: Startvorbereitung abgebrochen"));
        m_timer2->start(kCountdownMs);
    }
}

void ProgramCore::prepareStart() {
    m_view.setCaption(QStringLiteral(ORVEL_PRODUCT_NAME " " ORVEL_PRODUCT_VERSION " ") +
                      m_options.buildDate + QStringLiteral(" " ORVEL_LEGAL_COPYRIGHT));
    // The day files tell what the night did with which database: the folder is the owner's.
    QDir().mkdir(m_logFolder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    if (!m_parts.settings->fileExists() && m_parts.settings->create())
        m_log.writelogentry(QStringLiteral("Einstellungsdatenbank erstellt"));
    m_log.writelogentry(QStringLiteral("Verbinde mit Einstellungsdatenbank"));
    m_parts.settings->checkdatabase();
    // Settings that could not be opened have said so in their own lines; the start goes on as
    // before, but the scheduler learns that the night is not to be trusted.
    m_settingsUnavailable = !m_parts.settings->connected();

    // The run's walk through the jobs must not repaint the grid and fields for every row.
    setControlsAttached(false);

    m_log.writelogentry(QStringLiteral("Prüfe Internetverbindung"));
    if (m_internetSetting != 0) {
        m_log.writelogentry(QStringLiteral("Prüfung Internetverbindung unterdrückt"));
    } else {
        m_probing = true;
        const auto probed = qScopeGuard([this] { m_probing = false; });
        m_publicAddress = m_parts.probe->publicAddress();
        if (!m_publicAddress.isEmpty()) {
            m_log.writelogentry(QStringLiteral("Internetverbindung verfügbar"));
            m_log.writelogentry(QStringLiteral("IP-Adresse: ") + m_publicAddress);
        } else {
            m_log.writelogentry(QStringLiteral("keine Internetverbindung gefunden"));
        }
    }

    m_view.clearCountdownNotice();
    m_view.showCountdownNotice(kNoticeText, kNoticeMaxMs, kNoticeMinMs);
    // 15 s after the notice appeared, whatever its text says; the notice is gone by 14 s.
    m_timer2->start(kCountdownMs);
}

bool ProgramCore::serverCallUnderWay() const {
    return m_run->isRunning() || m_parts.sql->isBusy() || m_mailing || m_checkingUpdate ||
           m_probing || WorkerCall::isWaiting();
}

void ProgramCore::Timer2Timer() {
    m_timer2->stop();
    // A run, a connection test, a mail, an update check or any other call to a server started
    // by hand is still going: the run's first job would be turned away by it, and the report and
    // the close must not cut into it, so the automatic run waits for it to end.
    if (serverCallUnderWay()) {
        m_timer2->start(kWaitForBusyMs);
        return;
    }
    runAutomatically();
}

void ProgramCore::runAutomatically() {
    // Each step in its own guard: what escapes it is dropped and the run goes on.
    try {
        m_run->setFirstStartParameter(m_firstStartParameter);
        // A failed start preparation is this night's failure too: the count, the report's
        // subject and the exit code say so.
        runBackup(m_preparationFailed ? 1 : 0);
    } catch (...) {
    }
    try {
        mailReport();
    } catch (...) {
    }
    m_log.writelogentry(QStringLiteral("Installierte Programmversion: " ORVEL_PRODUCT_VERSION));
    try {
        if (m_publicAddress.isEmpty() || m_internetSetting != 0)
            m_log.writelogentry(QStringLiteral("Kein Zugriff auf das Internet möglich"));
        else
            checkAutomatically();
    } catch (...) {
    }
    m_view.closeWindow();
}

void ProgramCore::noticeClicked() {
    m_timer2->stop();
    m_log.writelogentry(QStringLiteral("Automatische Programmausführung wurde deaktiviert"));
    m_view.clearCountdownNotice();
    setControlsAttached(true);
}

bool ProgramCore::closeRequested() {
    bool allowed = true;
    try {
        m_parts.settings->postPendingChanges();
        m_log.writelogentry(QStringLiteral("Programm wird beendet"));
    } catch (const std::exception& e) {
        // A refused row keeps the window open; the message goes to the log book.
        allowed = false;
        exceptionRaised(e);
        if (m_options.unattended) {
            // Nobody is there to mend the row: it stays unstored and the program ends.
            m_log.writelogentry(
                QStringLiteral("FEHLER: Änderungen der Einstellungen nicht gespeichert"));
            m_log.writelogentry(QStringLiteral("Programm wird beendet"));
            allowed = true;
        }
    }
    if (allowed) {
        m_timer1->stop();
        m_timer2->stop();
        m_view.clearCountdownNotice();
    }
    return allowed;
}

void ProgramCore::startBackupRun() {
    guarded([this] {
        // The SQL Server steps are busy outside a run only while a connection test waits.
        if (!m_run->isRunning() && m_parts.sql->isBusy()) {
            m_log.writelogentry(
                QStringLiteral("Verbindungstest läuft, die Sicherung wird nicht gestartet"));
            return;
        }
        // A mail, an update check or the start's probe waits for its server: the run's first
        // job would be turned away, and the run would count that as its only error. The run in
        // progress, for its part, turns a second start away itself.
        if (!m_run->isRunning() && serverCallUnderWay()) {
            m_log.writelogentry(QStringLiteral(
                "Emailversand oder Serverabfrage läuft, die Sicherung wird nicht gestartet"));
            return;
        }
        m_run->setFirstStartParameter(m_firstStartParameter);
        runBackup(0);
    });
}

void ProgramCore::runBackup(qint32 alreadyFailed) {
    // A run under way turns the start away with its own line and keeps its own folders.
    if (m_run->isRunning()) {
        m_run->run(BackupFolders::inProgramFolder(m_options.programFolder), alreadyFailed);
        return;
    }
    const BackupFolders folders = backupFoldersForRun();
    m_run->setRestoreTest(m_parts.restore ? m_restore.get() : nullptr, restoreTestDay());
    QElapsedTimer took;
    took.start();
    m_run->run(folders, alreadyFailed);
    writeMetrics(double(took.elapsed()) / 1000.0);
}

BackupFolders ProgramCore::backupFoldersForRun() {
    const BackupFolders folders = BackupFolders::fromIni(iniFileName(), m_options.programFolder);
    if (folders.local != m_options.programFolder) {
        m_log.writelogentry(QStringLiteral("Sicherungsordner: ") + folders.local);
        if (!folders.localFolderUsable())
            m_log.writelogentry(
                QStringLiteral("Sicherungsordner nicht verfügbar (fehlt oder ist nicht les- und "
                               "beschreibbar): ") +
                folders.local);
    }
    if (folders.server != folders.local)
        m_log.writelogentry(QStringLiteral("Sicherungsordner des SQL Servers: ") + folders.server);
    return folders;
}

int ProgramCore::restoreTestDay() const {
    // RestoreTest= a weekday digit 1-7; anything else, or no key: never.
    const QString value = IniFile(iniFileName())
                              .value(kIniSection, QStringLiteral("RestoreTest"))
                              .value_or(QString())
                              .trimmed();
    bool ok = false;
    const int day = value.toInt(&ok);
    return ok && day >= 1 && day <= 7 ? day : 0;
}

int ProgramCore::restore(const RestoreRequest& request) {
    if (m_run->isRunning() || m_parts.sql->isBusy() || serverCallUnderWay()) {
        m_log.writelogentry(QStringLiteral(
            "FEHLER: Sicherung oder Serverabfrage läuft, die Wiederherstellung wird nicht "
            "gestartet"));
        return RestoreRun::WrongRequest;
    }
    int outcome = RestoreRun::Failed;
    guarded([&] { outcome = m_restore->run(request, backupFoldersForRun()); });
    return outcome;
}

void ProgramCore::writeMetrics(double seconds) {
    writeRunState(seconds);
    const QString path = MetricsFile::pathFromIni(iniFileName());
    if (path.isEmpty())
        return;
    RunMetrics metrics;
    metrics.end = QDateTime::currentDateTimeUtc();
    metrics.durationSeconds = seconds;
    metrics.errors = m_errors.value();
    metrics.jobs = m_run->outcomes();
    try {
        MetricsFile(path).write(metrics);
    } catch (const std::exception& e) {
        // Monitoring then sees an old file; the run itself is not the worse for it.
        m_log.writelogentry(exceptionText(e));
    }
}

void ProgramCore::writeRunState(double seconds) {
    RunState state;
    state.end = QDateTime::currentDateTimeUtc();
    state.durationSeconds = seconds;
    state.errors = m_errors.value();
    state.exitCode = exitCode();
    state.jobs = m_run->outcomes();
    try {
        RunStateFile::inProgramFolder(m_options.programFolder).write(state);
    } catch (const std::exception& e) {
        // Only the command line's status misses it; the run itself is not the worse for it.
        m_log.writelogentry(exceptionText(e));
    }
}

void ProgramCore::testConnection() {
    guarded([this] {
        // The test shares the connection objects and the job list with a run.
        if (m_run->isRunning() || m_parts.sql->isBusy()) {
            m_log.writelogentry(
                QStringLiteral("Verbindungstest während einer laufenden Sicherung nicht möglich"));
            return;
        }
        const BackupJob job = m_parts.settings->currentJob();
        m_view.showConnectionTestResult(m_parts.sql->connectionTest(job));
    });
}

void ProgramCore::sendReport() {
    guarded([this] { mailReport(); });
}

void ProgramCore::mailReport() {
    // A mail in the middle of a run would report a count that is not final yet.
    if (m_run->isRunning() || m_mailing) {
        m_log.writelogentry(
            QStringLiteral("Sicherung oder Emailversand läuft, die Email wird nicht verschickt"));
        return;
    }
    m_mailing = true;
    const auto done = qScopeGuard([this] { m_mailing = false; });
    m_parts.mailer->sendReport(m_errors.value());
}

void ProgramCore::checkForUpdate() {
    guarded([this] {
        if (m_publicAddress.isEmpty() || m_internetSetting != 0)
            return;
        // While a call to a server waits (a run's, a test's, a mail's or an update check's own),
        // a second one is refused; the refused check would read as "no newer version".
        if (serverCallUnderWay()) {
            m_log.writelogentry(QStringLiteral(
                "Sicherung oder Serverabfrage läuft, auf Update wird nicht geprüft"));
            return;
        }
        m_checkingUpdate = true;
        const auto done = qScopeGuard([this] { m_checkingUpdate = false; });
        m_parts.update->checkByHand();
    });
}

void ProgramCore::checkAutomatically() {
    m_checkingUpdate = true;
    const auto done = qScopeGuard([this] { m_checkingUpdate = false; });
    m_parts.update->checkAutomatically();
}

void ProgramCore::setControlsAttached(bool attached) {
    m_view.setDataControlsAttached(attached);
}

int ProgramCore::exitCode() const {
    if (m_preparationFailed || m_settingsUnavailable)
        return kExitPreparationFailed;
    return m_errors.value() > 0 ? kExitErrors : kExitClean;
}
