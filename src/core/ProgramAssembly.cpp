#include "core/ProgramAssembly.h"

#include "backup/ArchivePackager.h"
#include "backup/SqlMaintenance.h"
#include "core/JobDestination.h"
#include "core/JobRestoreSteps.h"
#include "core/OnlineParts.h"
#include "core/ProgramView.h"
#include "core/Timers.h"
#include "online/SystemConnection.h"
#include "platform/Clock.h"
#include "platform/DataFolder.h"
#include "report/ReportMail.h"
#include "report/ReportSources.h"
#include "settings/Dataset.h"
#include "settings/EditingRules.h"
#include "settings/SettingsDatabase.h"
#include "settings/SettingsRecords.h"
#include "sqlserver/SqlDbProcess.h"
#include "transfer/ArchiveKeeping.h"
#include "transfer/UploadDispatch.h"
#include "transfer/sftp/TTGPuttySFTP.h"

#include <QFileInfo>

#include <algorithm>
#include <optional>

namespace {

// The settings file, its rows with the editing rules.
class SettingsFileStore final : public SettingsStore {
public:
    SettingsFileStore(LogSink& log, const QString& programFolder) : m_db(log, programFolder) {
        EditingRules::install(m_db.queryDatenbanken, m_db.queryBenutzerdaten);
    }
    bool fileExists() const override { return QFileInfo::exists(m_db.databasePath()); }
    bool create() override { return SettingsDatabase::CreateAccessDatabase(m_db.databasePath()); }
    void checkdatabase() override { m_db.checkdatabase(); }
    bool connected() const override { return m_db.ADOConnection1.connected(); }
    QList<BackupJob> jobsForRun() override {
        return SettingsRecords::jobsForRun(m_db.queryDatenbanken);
    }
    void storeZipName(const BackupJob& job, const QString& zipName) override {
        SettingsRecords::storeZipName(m_db.queryDatenbanken, job.DBName, zipName);
    }
    BackupJob currentJob() override { return SettingsRecords::currentJob(m_db.queryDatenbanken); }
    GeneralSettings generalSettings() override {
        return SettingsRecords::currentGeneral(m_db.queryBenutzerdaten);
    }
    void postPendingChanges() override { m_db.postPendingChanges(); }
    Dataset& jobRows() override { return m_db.queryDatenbanken; }
    Dataset& generalRows() override { return m_db.queryBenutzerdaten; }

private:
    SettingsDatabase m_db;
};

// The SQL Server steps, with VerifyBackup= read from the program's INI file.
class SqlMaintenanceSteps final : public SqlSteps {
public:
    SqlMaintenanceSteps(LogSink& log, ErrorCount& errors, const QString& programFolder)
        : m_sql(log, errors, programFolder) {
        m_sql.setIniFile(programFolder + ProgramCore::kIniFileName);
    }
    void arbeitsprozess(const BackupJob& job, const BackupFolders& folders) override {
        m_sql.arbeitsprozess(job, folders);
    }
    QString connectionTest(const BackupJob& job) override { return m_sql.connectionTest(job); }
    bool isBusy() const override { return m_sql.isBusy(); }

private:
    SqlMaintenance m_sql;
};

// The weekday archive of the job's backup files from the local backup folder.
class ArchivePackaging final : public Packaging {
public:
    ArchivePackaging(LogSink& log, ErrorCount& errors, const Clock& clock,
                     const QString& programFolder)
        : m_packager(log, errors, clock, programFolder) {}
    ArchiveLocation zipprozess(BackupJob& job, const QString& copyFolder,
                               const QString& zipPassword, const BackupFolders& folders,
                               const ArchivePackager::SaveZipName& saveZipName) override {
        return m_packager.zipprozess(job, copyFolder, zipPassword, folders.fullBackup(job.DBName),
                                     folders.logBackup(job.DBName), saveZipName);
    }

private:
    ArchivePackager m_packager;
};

// Uploads to the job's destination, SFTP uploads shown in the SFTP upload window; the weekly
// and monthly archives kept there with KeepWeekly= and KeepMonthly= read from the INI file.
class DestinationUploader final : public Uploader {
public:
    DestinationUploader(LogSink& log, ErrorCount& errors, SftpUploadView* sftpView,
                        QString keysFolder, bool attended)
        : m_upload(log, errors, sftpView), m_keeping(log, errors),
          m_keysFolder(std::move(keysFolder)), m_attended(attended) {}
    bool ftphochladen(const BackupJob& job, const QString& ftpdateiname,
                      const QString& ftpdatenbankname, UploadAttempt& attempt) override {
        return m_upload.ftphochladen(config(job), ftpdateiname, ftpdatenbankname, attempt);
    }
    void keepArchives(const BackupJob& job, const ArchiveLocation& archive,
                      const QDate& day) override {
        const ArchiveCounts counts = keptArchives(m_keysFolder + ProgramCore::kIniFileName);
        m_keeping.keep(config(job), archive.archivePath, archive.archiveName, job.ZIP_Dateiname,
                       day, counts.weekly, counts.monthly);
    }

private:
    DestinationConfig config(const BackupJob& job) const {
        DestinationConfig c = jobDestination(job, m_keysFolder);
        c.attended = m_attended;
        c.objectLockDays = s3ObjectLockDays(m_keysFolder + ProgramCore::kIniFileName);
        return c;
    }

    UploadDispatch m_upload;
    ArchiveKeeping m_keeping;
    QString m_keysFolder;
    bool m_attended;
};

// The report mail of the log book's screen text and the general settings.
class ReportMailSender final : public ReportMailer, private ReportContent {
public:
    ReportMailSender(LogBook& log, const Clock& clock, SettingsStore& settings,
                     MailAccountSource& account)
        : m_log(log), m_settings(settings), m_mail(log, clock, *this, account) {}
    void prepareCredentials() override { m_mail.prepareCredentials(); }
    void sendReport(qint32 errorCount) override { m_mail.send(errorCount); }

private:
    QStringList screenLines() override {
        QStringList lines = m_log.lines();
        std::reverse(lines.begin(), lines.end());
        return lines;
    }
    GeneralSettings generalSettings() override { return m_settings.generalSettings(); }

    LogBook& m_log;
    SettingsStore& m_settings;
    ReportMail m_mail;
};

class SystemConnectionReport final : public ConnectionReport {
public:
    bool systemReportsConnection() override { return ::systemReportsConnection(); }
};

} // namespace

// The built-in parts, each made only when the caller handed in none.
struct ProgramAssembly::BuiltIn {
    std::optional<JobRestoreSteps> restore;
    std::optional<SettingsFileStore> store;
    std::optional<SqlMaintenanceSteps> sqlSteps;
    std::optional<ArchivePackaging> packaging;
    std::optional<DestinationUploader> uploader;
    std::optional<BuiltInMailAccount> mailAccount;
    std::optional<ReportMailSender> mailer;
    std::optional<SystemConnectionReport> connection;
    std::optional<OnlineParts> online;
    std::optional<QtTimerFactory> timers;
};

namespace {
// The part handed in, else the built-in one, made here. A built-in part that serves several
// interfaces is made once, for the first of them left empty.
template <class Interface, class Part, class... Args>
void fill(Interface*& part, std::optional<Part>& builtIn, Args&&... args) {
    if (part)
        return;
    if (!builtIn)
        builtIn.emplace(std::forward<Args>(args)...);
    part = &*builtIn;
}
} // namespace

ProgramAssembly::ProgramAssembly(Options options, ProgramView& view)
    : m_options(std::move(options)),
      m_log(m_options.parts.clock ? *m_options.parts.clock : SystemClock::instance()),
      m_builtIn(std::make_unique<BuiltIn>()) {
    ProgramParts& parts = m_options.parts;
    if (!parts.clock)
        parts.clock = &SystemClock::instance();
    const Clock& clock = *parts.clock;
    const QString& folder = m_options.programFolder;
    m_log.setEchoToStdout(m_options.echoLogToStdout);
    // The SFTP library: beside the executable where the package manager put it, else in the
    // program folder (a copy of the program brings its own). known_hosts lies with the data.
    TTGPuttySFTP::setLibraryFolder(DataFolder::packageManaged() ? DataFolder::programFolder()
                                                                : folder);
    // Every connection to SQL Server reads SqlEncrypt= and SqlCAFile= there.
    SqlDbProcess::setEncryptionIni(folder + ProgramCore::kIniFileName);

    BuiltIn& b = *m_builtIn;
    fill(parts.settings, b.store, m_log, folder);
    fill(parts.sql, b.sqlSteps, m_log, m_errors, folder);
    fill(parts.packaging, b.packaging, m_log, m_errors, clock, folder);
    // Someone watches a run with a display; the command line's run and a start without a
    // display are unattended: no server key is then taken on trust at first use.
    fill(parts.uploader, b.uploader, m_log, m_errors, m_options.windows.sftpWindow, folder,
         !m_options.unattended);
    fill(parts.mailAccount, b.mailAccount);
    fill(parts.mailer, b.mailer, m_log, clock, *parts.settings, *parts.mailAccount);
    fill(parts.connection, b.connection);
    // The probe, the update and the support files are one built-in part.
    OnlineParts::Windows online;
    online.wizard = m_options.windows.updateWizard;
    online.supportProgress = m_options.windows.supportProgress;
    const QString iniPath = folder + ProgramCore::kIniFileName;
    const auto endProgram = [&view] { view.closeWindow(); };
    const bool packageManaged = DataFolder::packageManaged();
    fill(parts.probe, b.online, m_log, folder, iniPath, online, endProgram, packageManaged);
    fill(parts.update, b.online, m_log, folder, iniPath, online, endProgram, packageManaged);
    fill(parts.supportFiles, b.online, m_log, folder, iniPath, online, endProgram, packageManaged);
    fill(parts.restore, b.restore, folder);
    fill(parts.timers, b.timers);

    ProgramCore::Options coreOptions;
    coreOptions.programFolder = folder;
    coreOptions.arguments = m_options.arguments;
    coreOptions.buildDate = m_options.buildDate;
    coreOptions.unattended = m_options.unattended;
    m_core = std::make_unique<ProgramCore>(coreOptions, m_log, m_errors, parts, view);
}

ProgramAssembly::~ProgramAssembly() = default;
