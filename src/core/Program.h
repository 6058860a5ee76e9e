#pragma once

#include "core/LogBook.h"
#include "core/ProgramCore.h"
#include "platform/ErrorCount.h"
#include "report/MailAccount.h"

#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

class ArchivePackager;
class Clock;
class DownloadView;
class ProgramView;
class SettingsDatabase;
class SftpWindow;
class SqlMaintenance;
class UpdateWizardView;

// The whole program without its window: the log book, the settings file, the SQL Server steps,
// the packaging, the upload, the report mail and the online parts, joined to the core that runs
// them.
class Program {
public:
    struct Options {
        QString programFolder; // ends in '/'
        QStringList arguments; // as given, without the program name
        QString buildDate;     // "DD.MM.YYYY"
        bool unattended = false;
        bool echoLogToStdout = false;
        const Clock* clock = nullptr;   // null: the system clock
        TimerFactory* timers = nullptr; // null: Qt's timers
        // Subsystems handed in instead of the built-in ones (tests, and parts still to come).
        Uploader* uploader = nullptr;
        ReportMailer* mailer = nullptr;
        // The report mail's account instead of the one built in (tests use a local server).
        std::function<MailAccount()> mailAccount;
        ConnectivityProbe* probe = nullptr;
        UpdateCheck* update = nullptr;
        SupportFiles* supportFiles = nullptr;
        // The windows of the online parts (null: none) and the system's report of a connection
        // (null: the operating system's).
        UpdateWizardView* updateWizard = nullptr;
        DownloadView* supportProgress = nullptr;
        std::function<bool()> systemConnection;
        // Shows SFTP uploads; null uploads by SFTP without a window.
        SftpWindow* sftpWindow = nullptr;
    };

    Program(Options options, ProgramView& view);
    ~Program();
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    ProgramCore& core() { return *m_core; }
    LogBook& log() { return m_log; }
    // The settings file, for the editor's bindings.
    SettingsDatabase& settings() { return *m_settings; }
    // Statement time-out of the SQL Server steps; tests shorten it.
    void setSqlCommandTimeout(int seconds);

private:
    struct Parts;

    Options m_options;
    LogBook m_log;
    ErrorCount m_errors;
    std::unique_ptr<SettingsDatabase> m_settings;
    std::unique_ptr<SqlMaintenance> m_sql;
    std::unique_ptr<ArchivePackager> m_archive;
    std::unique_ptr<Parts> m_parts;
    std::unique_ptr<ProgramCore> m_core;
};
