#include "backup/BackupRun.h"

#include "settings/Dataset.h"
#include "platform/ErrorCount.h"
#include "platform/LogSink.h"
#include "platform/ProgramError.h"

#include <QScopeGuard>

BackupRun::BackupRun(LogSink& log, ErrorCount& errors, Dataset& queryDatenbanken, Steps steps)
    : m_log(log), m_errors(errors), m_jobs(queryDatenbanken), m_steps(std::move(steps)) {}

BackupJob BackupRun::currentJob(Dataset& jobs) {
    BackupJob job;
    job.DBName = jobs.field(QStringLiteral("DBName")).asString();
    job.DBServer = jobs.field(QStringLiteral("DBServer")).asString();
    job.DBBenutzer = jobs.field(QStringLiteral("DBBenutzer")).asString();
    job.DBPasswort = jobs.field(QStringLiteral("DBPasswort")).asString();
    job.ZIP_Dateiname = jobs.field(QStringLiteral("ZIP_Dateiname")).asString();
    job.FTP_aktiv = jobs.field(QStringLiteral("FTP_aktiv")).asBoolean();
    return job;
}

void BackupRun::btnStartClick() {
    // The window keeps handling clicks during a run; a second run would walk the same job list
    // and use the same connections, so it is turned away.
    if (m_running) {
        m_log.writelogentry(QStringLiteral(
            "Sicherung läuft bereits, ein weiterer Start wird nicht ausgeführt"));
        return;
    }
    m_running = true;
    const auto done = qScopeGuard([this] { m_running = false; });

    m_errors.reset();
    try {
        walkJobs();
    } catch (const std::exception& e) {
        // The run cannot go on (the job list cannot be read or a job row cannot be stored). The
        // window's or the automatic run's caller would drop this silently, and a count of 0 would
        // let the report read as a clean night: it is logged and counted here.
        m_errors.add(1);
        m_log.writelogentry(exceptionText(e));
        m_log.writelogentry(QStringLiteral("FEHLER: Verarbeitung abgebrochen"));
        m_log.writelogentry(QStringLiteral("Fehleranzahl: ") + QString::number(m_errors.value()));
    }
}

void BackupRun::walkJobs() {
    if (!m_jobs.isOpen())
        m_jobs.open();
    if (m_jobs.state() == DatasetState::Edit) {
        try {
            m_jobs.post();
        } catch (const std::exception&) {
            // The run goes on with what is stored.
        }
    }

    m_jobs.first();
    while (!m_jobs.eof()) {
        const BackupJob job = currentJob(m_jobs);
        if (!job.DBName.isEmpty()) {
            m_steps.arbeitsprozess(job);
            if (m_firstStartParameter == QLatin1String("nozip")) {
                m_log.writelogentry(QStringLiteral(
                    "Programmstartparameter nozip gesetzt, kein ZIP- und FTP-Prozess ausgeführt: ") +
                                    job.DBName);
            } else {
                const ArchiveLocation archive = m_steps.zipprozess(job);
                uploadStep(job, archive);
            }
        }
        m_jobs.next();
    }
    m_log.writelogentry(QStringLiteral("Verarbeitung abgeschlossen"));
    m_log.writelogentry(QStringLiteral("Fehleranzahl: ") + QString::number(m_errors.value()));
}

void BackupRun::uploadStep(const BackupJob& job, const ArchiveLocation& archive) {
    m_log.writelogentry(QStringLiteral("FTP-Prozess beginnt für Datenbank: ") + job.DBName);
    if (job.FTP_aktiv) {
        bool uploaded = false;
        for (int attempt = 0; attempt < UploadAttempts && !uploaded; ++attempt)
            uploaded = m_steps.ftphochladen(archive.archivePath, archive.archiveName);
        if (!uploaded)
            m_errors.add(1);
    } else {
        m_log.writelogentry(QStringLiteral("FTP-Prozess nicht gewünscht für Datenbank: ") + job.DBName);
    }
    m_log.writelogentry(QStringLiteral("FTP-Prozess abgeschlossen für Datenbank: ") + job.DBName);
    m_log.processMessages();
}
