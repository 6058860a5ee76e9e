#pragma once

#include "core/ProgramParts.h"
#include "core/RestoreRun.h"
#include "core/Timers.h"
#include "platform/ErrorCount.h"

#include <QString>
#include <QStringList>
#include <exception>
#include <memory>

class BackupRun;
class LogBook;
class ProgramView;

// The program's policy, without widgets: window creation and first showing, the start
// preparation, the countdown and the automatic run, the close, the gating of runs, connection
// tests, mails and update checks, and the program-wide values. It reaches the parts through
// their small interfaces and shows what happens through the view.
//
// Every entry point handles its own failures: what escapes a step is logged as the program's
// unhandled-exception handler does, so callers never see an exception.
class ProgramCore {
public:
    struct Options {
        QString programFolder; // ends in '/'
        QStringList arguments; // command-line arguments as given, without the program name
        QString buildDate;     // "DD.MM.YYYY", for the caption
        // Started without a display: nobody can stop the countdown or answer the window, so the
        // program must come to its end by itself whatever fails.
        bool unattended = false;
    };

    static constexpr int kPreparationDelayMs = 1000;
    static constexpr int kCountdownMs = 15000;
    static constexpr int kNoticeMaxMs = 14000;
    static constexpr int kNoticeMinMs = 12000;
    // How often the automatic run looks again while a call started by hand (a run, a test, a
    // mail, an update check) goes on.
    static constexpr int kWaitForBusyMs = 1000;
    static const QString kNoticeText;
    static const QString kIniFileName;

    // Exit codes for schedulers.
    static constexpr int kExitClean = 0;
    static constexpr int kExitErrors = 1;
    static constexpr int kExitPreparationFailed = 2;

    // Every part the core reaches must be filled in: settings, sql, packaging, uploader,
    // mailer, connection, probe, update, supportFiles and timers.
    ProgramCore(Options options, LogBook& log, ErrorCount& errors, ProgramParts parts,
                ProgramView& view);
    ~ProgramCore();
    ProgramCore(const ProgramCore&) = delete;
    ProgramCore& operator=(const ProgramCore&) = delete;

    // The window's events.
    void windowCreated();
    void windowShown();
    void noticeClicked();
    // The window asks to close; false keeps it open (a pending change was refused).
    bool closeRequested();
    void exceptionRaised(const std::exception& e);

    // The buttons.
    void startBackupRun();
    void testConnection();
    void sendReport();
    void checkForUpdate();
    // A restore of one job's archive, by hand (the command line); refused while a run, a test
    // or another server call is under way. 0 restored, 1 a step failed, 2 a wrong request.
    int restore(const RestoreRequest& request);

    // The timers' handlers: start preparation and automatic run.
    void Timer1Timer();
    void Timer2Timer();

    // Program-wide values.
    const QString& programFolder() const { return m_options.programFolder; }
    const QString& logFolder() const { return m_logFolder; }
    QString iniFileName() const { return m_options.programFolder + kIniFileName; }
    qint32 internetSetting() const { return m_internetSetting; }
    const QString& firstStartParameter() const { return m_firstStartParameter; }
    const QString& publicAddress() const { return m_publicAddress; }
    qint32 errorCount() const { return m_errors.value(); }
    bool backupRunning() const;
    bool preparationTimerActive() const { return m_timer1->isActive(); }
    bool countdownActive() const { return m_timer2->isActive(); }
    int countdownInterval() const { return m_timer2->interval(); }

    // 0: the last backup run counted no error; 1: it counted errors; 2: the start preparation
    // failed, so the settings could not be prepared for a run.
    int exitCode() const;

private:
    template <class F> void guarded(F&& step);
    void prepareStart();
    void readInternetSetting();
    void runAutomatically();
    // A backup run with the backup folders of the INI file, then the monitoring file.
    void runBackup(qint32 alreadyFailed);
    // The backup folders of the INI file, with a line for each that is not the program folder.
    BackupFolders backupFoldersForRun();
    // The weekday of the nightly restore test from the INI file; 0: never.
    int restoreTestDay() const;
    void writeMetrics(double seconds);
    // The state the command line's status shows, in the program folder.
    void writeRunState(double seconds);
    void mailReport();
    void checkAutomatically();
    // A run, a connection test, a mail, an update check, the start's probe or any other call
    // that waits for a server is under way.
    bool serverCallUnderWay() const;
    void setControlsAttached(bool attached);

    Options m_options;
    LogBook& m_log;
    ErrorCount& m_errors;
    ProgramParts m_parts;
    ProgramView& m_view;
    std::unique_ptr<BackupRun> m_run;
    std::unique_ptr<RestoreRun> m_restore;
    std::unique_ptr<Timer> m_timer1;
    std::unique_ptr<Timer> m_timer2;

    QString m_logFolder;
    qint32 m_internetSetting = 0;
    QString m_firstStartParameter;
    QString m_publicAddress;
    bool m_preparationFailed = false;
    bool m_settingsUnavailable = false; // checkdatabase found no connection
    bool m_mailing = false;
    bool m_checkingUpdate = false;
    bool m_probing = false;
};
