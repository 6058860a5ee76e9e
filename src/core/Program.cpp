#include "core/Program.h"

#include "backup/ArchivePackager.h"
#include "backup/SqlMaintenance.h"
#include "core/OnlineParts.h"
#include "core/ProgramView.h"
#include "platform/Clock.h"
#include "report/ReportMail.h"
#include "settings/Dataset.h"
#include "settings/EditingRules.h"
#include "settings/SettingsDatabase.h"
#include "settings/SettingsRecords.h"
#include "transfer/FtpUpload.h"
#include "transfer/TTGPuttySFTP.h"

#include <QFileInfo>

#include <algorithm>

namespace {

class SettingsFileStore final : public SettingsStore {
public:
    explicit SettingsFileStore(SettingsDatabase& db) : m_db(db) {}
    bool fileExists() const override { return QFileInfo::exists(m_db.databasePath()); }
    bool create() override { return SettingsDatabase::CreateAccessDatabase(m_db.databasePath()); }
    void checkdatabase() override { m_db.checkdatabase(); }
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

private:
    SettingsDatabase& m_db;
};

class SqlMaintenanceSteps final : public SqlSteps {
public:
    explicit SqlMaintenanceSteps(SqlMaintenance& sql) : m_sql(sql) {}
    void arbeitsprozess(const BackupJob& job) override { m_sql.arbeitsprozess(job); }
    QString connectionTest(const BackupJob& job) override { return m_sql.connectionTest(job); }
    bool isBusy() const override { return m_sql.isBusy(); }

private:
    SqlMaintenance& m_sql;
};

class ArchivePackaging final : public Packaging {
public:
    ArchivePackaging(ArchivePackager& packager, QString programFolder)
        : m_packager(packager), m_programFolder(std::move(programFolder)) {}
    ArchiveLocation zipprozess(BackupJob& job, const QString& copyFolder,
                               const ArchivePackager::SaveZipName& saveZipName) override {
        return m_packager.zipprozess(
            job, copyFolder, SqlMaintenance::fullBackupFileFor(m_programFolder, job.DBName),
            SqlMaintenance::logBackupFileFor(m_programFolder, job.DBName), saveZipName);
    }

private:
    ArchivePackager& m_packager;
    QString m_programFolder;
};

// Uploads by FTP and FTPS, and by SFTP through the SFTP upload window.
class FtpUploader final : public Uploader {
public:
    FtpUploader(LogSink& log, ErrorCount& errors, SftpWindow* sftpWindow)
        : m_upload(log, errors, sftpWindow) {}
    bool ftphochladen(const BackupJob& job, const QString& ftpdateiname,
                      const QString& ftpdatenbankname) override {
        return m_upload.ftphochladen(job, ftpdateiname, ftpdatenbankname);
    }

private:
    FtpUpload m_upload;
};

// The report mail of the log book's screen text, through the account built in.
class ReportMailSender final : public ReportMailer {
public:
    ReportMailSender(LogBook& log, const Clock& clock, SettingsStore& settings,
                     std::function<MailAccount()> account)
        : m_mail(log, clock, sources(log, settings, std::move(account))) {}
    void prepareCredentials() override { m_mail.prepareCredentials(); }
    void sendReport(qint32 errorCount) override { m_mail.send(errorCount); }

private:
    static ReportMail::Sources sources(LogBook& log, SettingsStore& settings,
                                       std::function<MailAccount()> account) {
        ReportMail::Sources s;
        s.screenLines = [&log] {
            QStringList lines = log.lines();
            std::reverse(lines.begin(), lines.end());
            return lines;
        };
        s.generalSettings = [&settings] { return settings.generalSettings(); };
        if (account)
            s.account = std::move(account);
        return s;
    }

    ReportMail m_mail;
};

} // namespace

struct Program::Parts {
    Parts(SettingsDatabase& db, SqlMaintenance& sql, ArchivePackager& archive,
          const QString& folder, LogBook& log, ErrorCount& errors, const Clock& clock,
          std::function<MailAccount()> mailAccount, SftpWindow* sftpWindow,
          OnlineParts::Windows windows, std::function<void()> endProgram)
        : store(db), sqlSteps(sql), packaging(archive, folder),
          ftpUploader(log, errors, sftpWindow), mailer(log, clock, store, std::move(mailAccount)),
          online(log, folder, folder + ProgramCore::kIniFileName, std::move(windows),
                 std::move(endProgram)) {}
    SettingsFileStore store;
    SqlMaintenanceSteps sqlSteps;
    ArchivePackaging packaging;
    FtpUploader ftpUploader;
    ReportMailSender mailer;
    OnlineParts online;
    QtTimerFactory qtTimers;
};

Program::Program(Options options, ProgramView& view)
    : m_options(std::move(options)),
      m_log(m_options.clock ? *m_options.clock : SystemClock::instance()) {
    const Clock& clock = m_options.clock ? *m_options.clock : SystemClock::instance();
    const QString& folder = m_options.programFolder;
    m_log.setEchoToStdout(m_options.echoLogToStdout);
    m_settings = std::make_unique<SettingsDatabase>(m_log, folder);
    EditingRules::install(m_settings->queryDatenbanken, m_settings->queryBenutzerdaten);
    m_sql = std::make_unique<SqlMaintenance>(m_log, m_errors, folder);
    m_archive = std::make_unique<ArchivePackager>(m_log, m_errors, clock, folder);
    OnlineParts::Windows online;
    online.wizard = m_options.updateWizard;
    online.supportProgress = m_options.supportProgress;
    online.systemConnection = m_options.systemConnection;
    m_parts = std::make_unique<Parts>(*m_settings, *m_sql, *m_archive, folder, m_log, m_errors,
                                      clock, m_options.mailAccount, m_options.sftpWindow,
                                      std::move(online), [&view] { view.closeWindow(); });
    // The SFTP library and its known_hosts file lie in the program folder.
    TTGPuttySFTP::setLibraryFolder(folder);

    ProgramCore::Subsystems sub;
    sub.settings = &m_parts->store;
    sub.sql = &m_parts->sqlSteps;
    sub.packaging = &m_parts->packaging;
    sub.uploader = m_options.uploader ? m_options.uploader : &m_parts->ftpUploader;
    sub.mailer = m_options.mailer ? m_options.mailer : &m_parts->mailer;
    sub.probe = m_options.probe ? m_options.probe : &m_parts->online;
    sub.update = m_options.update ? m_options.update : &m_parts->online;
    sub.supportFiles = m_options.supportFiles ? m_options.supportFiles : &m_parts->online;
    sub.timers = m_options.timers ? m_options.timers : &m_parts->qtTimers;

    ProgramCore::Options coreOptions;
    coreOptions.programFolder = folder;
    coreOptions.arguments = m_options.arguments;
    coreOptions.buildDate = m_options.buildDate;
    coreOptions.unattended = m_options.unattended;
    m_core = std::make_unique<ProgramCore>(coreOptions, m_log, m_errors, sub, view);
}

Program::~Program() = default;

void Program::setSqlCommandTimeout(int seconds) {
    m_sql->setCommandTimeout(seconds);
}
