#pragma once

#include "platform/ErrorCount.h"
#include "core/LogBook.h"

#include <QPointer>
#include <QSettings>
#include <QSize>
#include <QStringList>
#include <QTimer>
#include <QWidget>
#include <exception>
#include <memory>

class ArchivePackager;
class BackupRun;
class Clock;
class CountdownNotice;
class Dataset;
class QLabel;
class ScreenLog;
class QPushButton;
class SettingsCommand;
class SettingsConnection;
class SettingsDatabase;
class SqlCommand;
class SqlConnection;
class SqlDataSource;
class SqlQuery;
class SingleInstance;
class SqlMaintenance;

namespace Ui {
class OrvelSQLBackupMain;
}

// The main window: owns everything for the whole life of the program and runs all of its logic
// in its handlers, one at a time, on the window's thread.
class TOrvelSQLBackupMain : public QWidget {
    Q_OBJECT
public:
    struct Options {
        QString programFolder;       // empty: the folder of the executable
        QStringList arguments;       // command-line arguments without the program name
        const Clock* clock = nullptr; // null: the system clock
        bool singleInstance = false; // take part in the one-instance-per-user rule
        bool echoLogToStdout = false;
        // Started without a display: nobody can stop the countdown or answer the window, so the
        // program must come to its end by itself whatever fails.
        bool unattended = false;
    };

    static constexpr int kNoticeMaxMs = 14000;
    static constexpr int kNoticeMinMs = 12000;
    static const QString kNoticeText;

    explicit TOrvelSQLBackupMain(Options options, QWidget* parent = nullptr);
    ~TOrvelSQLBackupMain() override;

    // Handlers, wired to the window's events.
    void FormCreate(QObject* Sender);
    void FormShow(QObject* Sender);
    void Timer1Timer(QObject* Sender);
    void Timer2Timer(QObject* Sender);
    void SmartMessageBoxClick(QObject* Sender, int index);
    void FormCloseQuery(QObject* Sender, bool& CanClose);
    void FormKeyPress(QObject* Sender, QChar& Key, Qt::KeyboardModifiers modifiers);
    void ApplicationEvents1Exception(QObject* Sender, const std::exception& E);

    void writelogentry(const QString& entrytext) { m_log.writelogentry(entrytext); }
    LogBook& logBook() { return m_log; }

    // Operations of the other subsystems, called at their places in start-up and automatic run.
    virtual bool CreateAccessDatabase(const QString& Database);
    virtual void checkdatabase();
    virtual bool checkinternetconnection();
    virtual void Berichtsvorlagencheck();
    virtual void btnStartClick(QObject* Sender);
    // The connection test of the current job; the result goes into lblcheckconnection.
    virtual void Button2Click(QObject* Sender);
    // One upload attempt of an archive; true when it arrived.
    virtual bool ftphochladen(const QString& ftpdateiname, const QString& ftpdatenbankname);
    virtual void btnEmailsendenClick(QObject* Sender);
    virtual void btnUpdateClick(QObject* Sender);
    virtual void Button3Click(QObject* Sender);
    virtual void automaticUpdateCheck();
    // Whether the system reports an internet connection (gates the support-file check).
    virtual bool systemReportsConnection();
    // Stores pending edits of the settings datasets; may throw when a row is refused.
    virtual void postPendingSettings();
    virtual void detachDataControls() { m_controlsAttached = false; }
    virtual void attachDataControls() { m_controlsAttached = true; }

    // Runs a handler; what escapes it goes to the application-wide exception handler.
    template <class F> void guarded(F&& handler) {
        try {
            handler();
        } catch (const std::exception& e) {
            ApplicationEvents1Exception(this, e);
        }
    }

    // Program-wide values.
    const QString& programFolder() const { return m_programFolder; }
    const QString& logFolder() const { return m_logFolder; }
    QString iniFileName() const;
    qint32 internetSetting() const { return m_internetSetting; }
    const QString& firstStartParameter() const { return m_firstStartParameter; }
    const QString& publicAddress() const { return m_publicAddress; }
    const QString& shortDateFormat() const { return m_shortDateFormat; }
    bool dataControlsAttached() const { return m_controlsAttached; }
    bool anotherInstanceRuns() const { return m_terminate; }
    const Clock& clock() const { return *m_clock; }

    // The settings and the backup engine, owned for the whole run of the program.
    SettingsDatabase& settings() { return *m_settings; }
    SettingsConnection& ADOConnection1();
    Dataset& queryVersion();
    SettingsCommand& ADOQuery1();
    SqlConnection& SQLCon();
    SqlQuery& queryMaster();
    SqlQuery& querysysfiles();
    SqlDataSource& sourceSysFiles();
    SqlCommand& SQLCommand();
    Dataset& queryDatenbanken();
    Dataset& queryBenutzerdaten();
    SqlMaintenance& sqlMaintenance() { return *m_sql; }
    BackupRun& backupRun() { return *m_run; }
    ErrorCount& errorCount() { return m_errors; }

    QTimer Timer1;
    QTimer Timer2;
    CountdownNotice* SmartMessageBox = nullptr;
    std::unique_ptr<Ui::OrvelSQLBackupMain> ui;
    QPushButton* Button2 = nullptr;
    QLabel* lblcheckconnection = nullptr;

Q_SIGNALS:
    // The window has closed for good; the program ends.
    void closed();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

    void setPublicAddress(const QString& address) { m_publicAddress = address; }

private:
    static QString resolveProgramFolder(const QString& configured);
    void applyWindowSizeRule();
    QString buildDateText() const;
    void raiseWindow();
    void startPreparation();

    Options m_options;
    const Clock* m_clock;
    LogBook m_log;
    std::unique_ptr<ScreenLog> m_screenLog;
    QString m_programFolder;
    QString m_logFolder;
    QString m_shortDateFormat;
    std::unique_ptr<QSettings> m_ini;
    qint32 m_internetSetting = 0;
    QString m_firstStartParameter;
    QString m_publicAddress;
    bool m_controlsAttached = true;
    bool m_terminate = false;
    bool m_shownOnce = false;
    QSize m_outerSize;          // the rule's outer size; a dimension the rule leaves alone is -1
    SingleInstance* VrRunOnce1 = nullptr;
    ErrorCount m_errors;
    std::unique_ptr<SettingsDatabase> m_settings;
    std::unique_ptr<SqlMaintenance> m_sql;
    std::unique_ptr<ArchivePackager> m_archive;
    std::unique_ptr<BackupRun> m_run;
};
