#include "transfer/FtpUpload.h"

#include "platform/ErrorCount.h"
#include "platform/LogSink.h"
#include "platform/ProgramError.h"
#include "platform/WorkerCall.h"
#include "transfer/ftp/CurlTransfer.h"
#include "transfer/sftp/SftpWindow.h"
#include "transfer/sftp/TTGPuttySFTP.h"

#include <QFileInfo>

namespace {
// The backup run's number of attempts per job.
constexpr int UploadAttempts = 10;
} // namespace

FtpUpload::FtpUpload(LogSink& log, ErrorCount& errors, SftpWindow* sftpWindow)
    : m_log(log), m_errors(errors) {
    if (!sftpWindow)
        m_headless = std::make_unique<HeadlessSftpWindow>();
    m_sftpWindow = sftpWindow ? sftpWindow : m_headless.get();
}

FtpUpload::~FtpUpload() = default;

void FtpUpload::countAttempt(const BackupJob& job, const QString& name) {
    const QString key = name + QLatin1Char('\n') + job.FTP_SERVER + QLatin1Char(':') +
                        QString::number(job.FTP_Port);
    if (key != m_attemptKey || m_attemptsInRun >= UploadAttempts) {
        m_attemptKey = key;
        m_attemptsInRun = 0;
        m_hostKeyUnansweredInRun = false;
    }
    ++m_attemptsInRun;
}

bool FtpUpload::ftphochladen(const BackupJob& job, const QString& ftpdateiname,
                             const QString& ftpdatenbankname) {
    countAttempt(job, ftpdatenbankname);
    const bool uploaded = attempt(job, ftpdateiname, ftpdatenbankname);
    if (uploaded)
        m_attemptsInRun = UploadAttempts; // the run of attempts ends here
    return uploaded;
}

bool FtpUpload::attempt(const BackupJob& job, const QString& ftpdateiname, const QString& name) {
    if (ftpdateiname.isEmpty()) {
        m_log.writelogentry(
            QStringLiteral("FEHLER: Ohne ZIP ist FTP nicht möglich für Datenbank: ") + name);
        m_errors.add(1);
        return false;
    }
    if (!QFileInfo(ftpdateiname).isFile()) {
        m_log.writelogentry(QStringLiteral("FEHLER: Keine ZIP-Datei vorhanden für Datenbank: ") +
                            name);
        m_errors.add(1);
        return false;
    }
    if (job.FTP_SERVER.isEmpty()) {
        m_log.writelogentry(QStringLiteral("FEHLER: FTP-Server fehlt für Datenbank: ") + name);
        m_errors.add(1);
        return false;
    }

    switch (job.FTP_SSL) {
    case 0:
    case 1:
        return transfer(job, ftpdateiname, name);
    case 2:
        return sftp(job, ftpdateiname, name);
    default:
        m_log.writelogentry(
            QStringLiteral("FEHLER: Unbekanntes Protokoll %1 (FTP_SSL) für Datenbank: ")
                .arg(job.FTP_SSL) +
            name);
        return false;
    }
}

bool FtpUpload::sftp(const BackupJob& job, const QString& localPath, const QString& name) {
    m_log.writelogentry(QStringLiteral("Starte SFTP-Prozess für Datenbank: ") + name);
    SftpUploadRequest request;
    request.SFTP_HostName = job.FTP_SERVER;
    request.SFTP_UserName = job.FTP_Benutzer;
    request.SFTP_Password = job.FTP_Passwort;
    request.SFTP_Port = job.FTP_Port;
    request.sourceFile = localPath;
    request.destFile = job.FTP_Pfad + name;
    SftpWindow::Outcome outcome;
    try {
        outcome = m_sftpWindow->showModal(request, !m_hostKeyUnansweredInRun, m_log);
    } catch (const std::exception& e) {
        m_log.writelogentry(exceptionText(e));
    }
    if (outcome.hostKeyUnanswered)
        m_hostKeyUnansweredInRun = true;
    m_log.writelogentry(QStringLiteral("Beende SFTP-Prozess für Datenbank: ") + name);
    return outcome.UploadErfolgreich;
}

bool FtpUpload::transfer(const BackupJob& job, const QString& localPath, const QString& name) {
    CurlStoreRequest request;
    request.host = job.FTP_SERVER;
    request.port = job.FTP_Port;
    request.user = job.FTP_Benutzer;
    request.password = job.FTP_Passwort;
    request.remotePath = job.FTP_Pfad + name;
    request.localPath = localPath;
    request.explicitTls = job.FTP_SSL == 1;
    request.passive = job.FTP_Passiv == 1;

    // The lines of the attempt go to the log book as they happen, not when the transfer ends.
    const auto logNow = [this](const QString& line) {
        WorkerCall::onMainThread([this, line] { m_log.writelogentry(line); });
    };
    request.onLoggedIn = [logNow, name] {
        logNow(QStringLiteral("FTP-Prozess mit Server verbunden für Datenbank: ") + name);
    };
    request.note = logNow;
    // The FTPS keys kept at first use lie beside the SSH known_hosts, in the program folder.
    request.knownHostsFolder = TTGPuttySFTP::libraryFolder();

    CurlStoreResult result;
    try {
        // The window stays alive while the transfer runs on its worker.
        result = workerCall([&request] { return curlStore(request); });
    } catch (const std::exception& e) {
        result.error = exceptionText(e);
    }
    if (result.stored) {
        m_log.writelogentry(QStringLiteral("FTP-Prozess erfolgreich für Datenbank: ") + name);
        return true;
    }
    m_log.writelogentry(result.error);
    m_log.writelogentry(QStringLiteral("FEHLER bei FTP-Prozess für Datenbank: ") + name);
    if (result.remoteTouched)
        removeCutFile(request, name);
    return false;
}

void FtpUpload::removeCutFile(const CurlStoreRequest& request, const QString& name) {
    // What a failed store left under the archive's name goes, so that nobody restores a cut
    // archive; the server's older file of that name was replaced by the STOR anyway.
    QString why;
    try {
        why = workerCall([&request] { return curlRemove(request); });
    } catch (const std::exception& e) {
        why = exceptionText(e);
    }
    if (!why.isEmpty())
        m_log.writelogentry(
            QStringLiteral("FEHLER: Die unvollständige Datei %1 konnte nicht vom FTP-Server "
                           "entfernt werden (%2) für Datenbank: ")
                .arg(request.remotePath, why) +
            name);
}
