#include "core/BackupRun.h"

#include "core/RestoreRun.h"
#include "platform/Clock.h"

#include "platform/ErrorCount.h"
#include "platform/LogSink.h"
#include "platform/PlainFileName.h"
#include "platform/ProgramError.h"

#include <QFileInfo>
#include <QScopeGuard>

BackupRun::BackupRun(LogSink& log, ErrorCount& errors, const ProgramParts& parts)
    : m_log(log), m_errors(errors), m_parts(parts) {}

void BackupRun::run(const BackupFolders& folders, qint32 alreadyFailed) {
    // The window keeps handling clicks during a run; a second run would work through the same
    // jobs and use the same connections, so it is turned away.
    if (m_running) {
        m_log.writelogentry(
            QStringLiteral("Sicherung läuft bereits, ein weiterer Start wird nicht ausgeführt"));
        return;
    }
    m_running = true;
    const auto done = qScopeGuard([this] { m_running = false; });

    m_errors.reset();
    m_errors.add(alreadyFailed);
    m_outcomes.clear();
    try {
        runJobs(folders);
    } catch (const std::exception& e) {
        // The run cannot go on (the jobs cannot be read or a job row cannot be stored). The
        // window's or the automatic run's caller would drop this silently, and a count of 0 would
        // let the report read as a clean night: it is logged and counted here.
        m_errors.add(1);
        m_log.writelogentry(exceptionText(e));
        m_log.writelogentry(QStringLiteral("FEHLER: Verarbeitung abgebrochen"));
        m_log.writelogentry(QStringLiteral("Fehleranzahl: ") + QString::number(m_errors.value()));
    }
}

void BackupRun::runJobs(const BackupFolders& folders) {
    SettingsStore& settings = *m_parts.settings;
    const QList<BackupJob> jobs = settings.jobsForRun();
    for (BackupJob job : jobs) {
        JobOutcome outcome;
        outcome.dbName = job.DBName;
        if (!fileNamesArePlain(job)) {
            m_outcomes << outcome; // a job that made nothing
            continue;
        }
        m_parts.sql->arbeitsprozess(job, folders);
        if (m_firstStartParameter == QLatin1String("nozip")) {
            m_log.writelogentry(QStringLiteral("Programmstartparameter nozip gesetzt, kein ZIP- "
                                               "und FTP-Prozess ausgeführt: ") +
                                job.DBName);
        } else {
            const GeneralSettings general = settings.generalSettings();
            // The day the packing names the archive by: a run past midnight keeps Sunday's
            // archive as Sunday's.
            const QDate day = (m_parts.clock ? m_parts.clock->now() : QDateTime::currentDateTime())
                                  .toLocalTime()
                                  .date();
            const ArchiveLocation archive = m_parts.packaging->zipprozess(
                job, general.OrdnerZIPDateien, general.ZIP_Passwort, folders,
                [&settings, &job](const QString& zipName) { settings.storeZipName(job, zipName); });
            // Only tonight's archive has a path: a night whose packing failed has none.
            const QFileInfo made(archive.archivePath);
            outcome.archiveBytes = made.isFile() ? made.size() : 0;
            outcome.uploadAsked = job.FTP_aktiv;
            outcome.uploaded = uploadStep(job, archive, day);
            restoreTest(job, folders, archive, day, outcome);
        }
        m_outcomes << outcome;
    }
    m_log.writelogentry(QStringLiteral("Verarbeitung abgeschlossen"));
    m_log.writelogentry(QStringLiteral("Fehleranzahl: ") + QString::number(m_errors.value()));
}

bool BackupRun::uploadStep(const BackupJob& job, const ArchiveLocation& archive, const QDate& day) {
    bool uploaded = false;
    m_log.writelogentry(QStringLiteral("FTP-Prozess beginnt für Datenbank: ") + job.DBName);
    if (job.FTP_aktiv) {
        UploadAttempt attempt;
        for (; attempt.number <= UploadAttempts && !uploaded && !attempt.keyUnconfirmed;
             ++attempt.number)
            uploaded = m_parts.uploader->ftphochladen(job, archive.archivePath,
                                                      archive.archiveName, attempt);
        if (uploaded)
            m_parts.uploader->keepArchives(job, archive, day);
        else
            m_errors.add(1);
    } else {
        m_log.writelogentry(QStringLiteral("FTP-Prozess nicht gewünscht für Datenbank: ") +
                            job.DBName);
    }
    m_log.writelogentry(QStringLiteral("FTP-Prozess abgeschlossen für Datenbank: ") + job.DBName);
    m_log.processMessages();
    return uploaded;
}

void BackupRun::restoreTest(const BackupJob& job, const BackupFolders& folders,
                            const ArchiveLocation& archive, const QDate& day,
                            JobOutcome& outcome) {
    // The night the archive is named for decides, also when its upload ended past midnight.
    const int weekday = day.dayOfWeek();
    if (!m_restoreTest || m_restoreTestDay < 1 || m_restoreTestDay > 7 ||
        weekday != m_restoreTestDay)
        return;
    const auto ended = [this, &outcome](bool ok) {
        outcome.restoreTested = true;
        outcome.restoreOk = ok;
        outcome.restoreTestEnd =
            m_parts.clock ? m_parts.clock->now() : QDateTime::currentDateTime();
    };
    // What stands under the archive's name where a step failed tonight is last week's archive
    // of the day: a test of it would report tonight's failure as a proven backup.
    if (archive.archivePath.isEmpty()) {
        m_log.writelogentry(QStringLiteral("Wiederherstellungstest nicht möglich, da in dieser "
                                           "Nacht kein Archiv erstellt wurde, für Datenbank: ") +
                            job.DBName);
        m_log.writelogentry(QStringLiteral("FEHLER beim Wiederherstellungstest für Datenbank: ") +
                            job.DBName);
        m_errors.add(1);
        ended(false);
        return;
    }
    // Tonight's archive, from where it went: what a restore would find there. Where it did not
    // get to, from the program folder, where tonight's archive is the only one of the day.
    RestoreFrom from = job.FTP_aktiv ? RestoreFrom::Remote : RestoreFrom::Copy;
    if (job.FTP_aktiv && !outcome.uploaded) {
        from = RestoreFrom::Local;
        m_log.writelogentry(QStringLiteral("Wiederherstellungstest aus dem Programmordner, da der "
                                           "Upload fehlschlug, für Datenbank: ") +
                            job.DBName);
    } else if (!job.FTP_aktiv && archive.copyFailed) {
        from = RestoreFrom::Local;
        m_log.writelogentry(QStringLiteral("Wiederherstellungstest aus dem Programmordner, da die "
                                           "Kopie in den Kopieordner fehlschlug, für Datenbank: ") +
                            job.DBName);
    }
    ended(m_restoreTest->test(job, from, weekday, folders) == RestoreRun::Restored);
}

bool BackupRun::fileNamesArePlain(const BackupJob& job) {
    // The database name names the backup files and the archive name the archive, both in the
    // program folder: a name that would reach outside it stops the job before any file is
    // deleted or written.
    for (const QString* name : {&job.DBName, &job.ZIP_Dateiname}) {
        if (isPlainFileName(*name))
            continue;
        m_log.writelogentry(QStringLiteral("FEHLER: ungültiger Dateiname \"") +
                            shownFileName(*name) + QStringLiteral("\" für Datenbank: ") +
                            shownFileName(job.DBName));
        m_errors.add(1);
        return false;
    }
    return true;
}
