#include "transfer/FtpUpload.h"

#include "platform/ErrorCount.h"
#include "platform/LogSink.h"
#include "platform/ProgramError.h"
#include "platform/WorkerCall.h"
#include "transfer/CurlTransfer.h"

#include <QFileInfo>

FtpUpload::FtpUpload(LogSink& log, ErrorCount& errors) : m_log(log), m_errors(errors) {}

bool FtpUpload::ftphochladen(const BackupJob& job, const QString& ftpdateiname,
                             const QString& ftpdatenbankname) {
    const QString& name = ftpdatenbankname;
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
        // The SFTP upload is not part of this version.
        m_log.writelogentry(QStringLiteral("Starte SFTP-Prozess für Datenbank: ") + name);
        m_log.writelogentry(QStringLiteral("FEHLER: SFTP ist in dieser Version nicht verfügbar: ") +
                            name);
        m_log.writelogentry(QStringLiteral("Beende SFTP-Prozess für Datenbank: ") + name);
        return false;
    default:
        m_log.writelogentry(
            QStringLiteral("FEHLER: Unbekanntes Protokoll %1 (FTP_SSL) für Datenbank: ")
                .arg(job.FTP_SSL) +
            name);
        return false;
    }
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

    CurlStoreResult result;
    try {
        // The window stays alive while the transfer runs on its worker.
        result = workerCall([&request] { return curlStore(request); });
    } catch (const std::exception& e) {
        result.error = exceptionText(e);
    }
    if (result.loggedIn)
        m_log.writelogentry(QStringLiteral("FTP-Prozess mit Server verbunden für Datenbank: ") +
                            name);
    if (result.stored) {
        m_log.writelogentry(QStringLiteral("FTP-Prozess erfolgreich für Datenbank: ") + name);
        return true;
    }
    m_log.writelogentry(result.error);
    m_log.writelogentry(QStringLiteral("FEHLER bei FTP-Prozess für Datenbank: ") + name);
    return false;
}
