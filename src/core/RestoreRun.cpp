#include "core/RestoreRun.h"

#include "platform/ErrorCount.h"
#include "platform/LogSink.h"
#include "platform/PrivateFile.h"
#include "platform/ProgramError.h"

#include <QFile>
#include <QSaveFile>

namespace {
// The note of the scratch databases this program made and has not dropped yet: one line each,
// the job's server and the database's name, separated by a tab.
const QLatin1String kNoteFile("Wiederherstellungstest.dat");

QByteArray noteLine(const BackupJob& job, const QString& name) {
    return (job.DBServer + QLatin1Char('\t') + name).toUtf8();
}
} // namespace

QString RestoreRun::scratchName(const QString& dbName) {
    return dbName + QStringLiteral("_Wiederherstellungstest");
}

RestoreRun::RestoreRun(LogSink& log, ErrorCount& errors, const ProgramParts& parts,
                       QString programFolder)
    : m_log(log), m_errors(errors), m_parts(parts), m_programFolder(std::move(programFolder)) {}

RestoreRun::Outcome RestoreRun::refuse(const QString& line) {
    m_log.writelogentry(QStringLiteral("FEHLER: ") + line);
    return WrongRequest;
}

RestoreRun::Outcome RestoreRun::run(const RestoreRequest& request,
                                    const BackupFolders& folders) {
    if (request.weekday < 0 || request.weekday > 7)
        return refuse(QStringLiteral("Der Wochentag muss 1 bis 7 sein: %1").arg(request.weekday));
    if (request.test && (!request.as.isEmpty() || request.replace))
        return refuse(QStringLiteral(
            "Ein Wiederherstellungstest stellt in seine eigene Testdatenbank wieder her"));
    QList<BackupJob> jobs;
    try {
        jobs = m_parts.settings->jobsForRun();
    } catch (const std::exception& e) {
        return refuse(exceptionText(e));
    }
    for (const BackupJob& job : std::as_const(jobs)) {
        if (job.DBName != request.job)
            continue;
        if (request.unpackTo.isEmpty() && !request.test && !request.replace &&
            (request.as.isEmpty() || request.as == job.DBName))
            return refuse(QStringLiteral("Die Wiederherstellung ginge über die Datenbank %1 "
                                         "des Auftrags; dazu --replace angeben, oder mit --as "
                                         "in eine andere Datenbank wiederherstellen")
                              .arg(job.DBName));
        return restoreJob(job, request, folders);
    }
    return refuse(QStringLiteral("Es gibt keinen Sicherungsauftrag für die Datenbank %1")
                      .arg(request.job));
}

RestoreRun::Outcome RestoreRun::test(const BackupJob& job, RestoreFrom from, int weekday,
                                     const BackupFolders& folders) {
    RestoreRequest request;
    request.job = job.DBName;
    request.from = from;
    request.weekday = weekday;
    request.test = true;
    return restoreJob(job, request, folders);
}

RestoreRun::Outcome RestoreRun::restoreJob(const BackupJob& job, const RestoreRequest& request,
                                           const BackupFolders& folders) {
    RestoreSteps& steps = *m_parts.restore;
    const QString& db = job.DBName;
    const QString target = request.test ? scratchName(db)
                                        : (request.as.isEmpty() ? db : request.as);
    const QString failureLine =
        request.test ? QStringLiteral("FEHLER beim Wiederherstellungstest für Datenbank: ")
                     : QStringLiteral("FEHLER bei der Wiederherstellung für Datenbank: ");
    m_log.writelogentry(QStringLiteral("Wiederherstellung gestartet für Datenbank: ") + db);

    RestoreArchive archive;
    UnpackedBackup files;
    bool scratchMade = false;
    Outcome outcome = Restored;
    try {
        const GeneralSettings general = m_parts.settings->generalSettings();
        archive = steps.findArchive(job, general.OrdnerZIPDateien, request.weekday, request.from);
        m_log.writelogentry(QStringLiteral("Archiv geladen für Datenbank: ") + db);
        files = steps.unpack(archive, job, general.ZIP_Passwort, folders, request.unpackTo);
        m_log.writelogentry(QStringLiteral("Archiv geprüft für Datenbank: ") + db);
        if (request.unpackTo.isEmpty()) {
            const bool exists = steps.databaseExists(job, target);
            if (exists && request.test) {
                if (!noted(job, target))
                    throw ProgramError(
                        QStringLiteral("Die Datenbank %1 gibt es schon; sie wurde nicht von "
                                       "diesem Programm angelegt und wird nicht gelöscht")
                            .arg(target));
                m_log.writelogentry(
                    QStringLiteral("Die Testdatenbank %1 eines abgebrochenen Tests wird gelöscht "
                                   "für Datenbank: ")
                        .arg(target) +
                    db);
                steps.dropDatabase(job, target);
                note(job, target, false);
            } else if (exists && !request.replace) {
                throw ProgramError(QStringLiteral("Die Datenbank %1 gibt es schon; sie wird nur "
                                                  "mit --replace ersetzt")
                                       .arg(target));
            }
            if (request.test) {
                note(job, target, true); // before the server makes it
                scratchMade = true;
            }
            steps.restore(job, files, target, request.replace);
            m_log.writelogentry(QStringLiteral("Datenbank wiederhergestellt für Datenbank: ") + db +
                                QStringLiteral(" als ") + target);
            steps.checkDatabase(job, target);
            m_log.writelogentry(
                QStringLiteral("Integritätsprüfung nach Wiederherstellung erfolgreich für "
                               "Datenbank: ") +
                db);
        }
    } catch (const std::exception& e) {
        m_log.writelogentry(exceptionText(e));
        outcome = Failed;
    }
    if (scratchMade) {
        try {
            steps.dropDatabase(job, target);
            note(job, target, false);
        } catch (const std::exception& e) {
            m_log.writelogentry(exceptionText(e));
            outcome = Failed;
        }
    }
    try {
        // The files a test or a restore unpacked into the backup folder go; an unpack by hand
        // keeps them where it was asked to put them.
        steps.discard(archive, request.unpackTo.isEmpty() ? files : UnpackedBackup());
    } catch (const std::exception& e) {
        m_log.writelogentry(exceptionText(e));
    }
    if (outcome == Failed) {
        m_log.writelogentry(failureLine + db);
        m_errors.add(1);
        return Failed;
    }
    if (request.test)
        m_log.writelogentry(QStringLiteral("Wiederherstellungstest erfolgreich für Datenbank: ") +
                            db);
    return Restored;
}

QString RestoreRun::notePath() const {
    return m_programFolder + kNoteFile;
}

bool RestoreRun::noted(const BackupJob& job, const QString& name) const {
    QFile f(notePath());
    if (!f.open(QIODevice::ReadOnly))
        return false;
    return f.readAll().split('\n').contains(noteLine(job, name));
}

void RestoreRun::note(const BackupJob& job, const QString& name, bool made) {
    QList<QByteArray> lines;
    {
        QFile f(notePath());
        if (f.open(QIODevice::ReadOnly))
            lines = f.readAll().split('\n');
    }
    lines.removeAll(noteLine(job, name));
    lines.removeAll(QByteArray());
    if (made)
        lines << noteLine(job, name);
    if (lines.isEmpty()) {
        // Nothing left to remember: no note.
        if (QFile::exists(notePath()) && !QFile::remove(notePath()))
            throw ProgramError(QStringLiteral("Die Notiz %1 kann nicht gelöscht werden")
                                   .arg(notePath()));
        return;
    }
    QSaveFile out(notePath());
    if (!out.open(QIODevice::WriteOnly) || out.write(lines.join('\n') + '\n') < 0 ||
        !out.commit())
        throw ProgramError(QStringLiteral("Die Notiz %1 kann nicht geschrieben werden: %2")
                               .arg(notePath(), out.errorString()));
    restrictToOwner(notePath());
}
