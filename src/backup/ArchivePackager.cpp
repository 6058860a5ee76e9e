#include "backup/ArchivePackager.h"

#include "archive/ZipWriter.h"
#include "platform/Clock.h"
#include "platform/DiskSync.h"
#include "platform/ErrorCount.h"
#include "platform/FileHints.h"
#include "platform/LogSink.h"
#include "platform/NoFollowFile.h"
#include "platform/ProgramError.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace {

QString cannotWrite(const QString& path, const QFileDevice& file) {
    return QStringLiteral("Datei kann nicht geschrieben werden: ") + path + QStringLiteral(" (") +
           file.errorString() + QLatin1Char(')');
}

constexpr QFile::Permissions ownerOnly = QFile::ReadOwner | QFile::WriteOwner;

// A plain file, as the existence tests of the packaging mean it (a folder does not count).
bool fileExists(const QString& path) {
    return QFileInfo(path).isFile();
}

} // namespace

ArchivePackager::ArchivePackager(LogSink& log, ErrorCount& errors, const Clock& clock,
                                 QString programFolder)
    : m_log(log), m_errors(errors), m_clock(clock), m_programFolder(std::move(programFolder)) {}

QString ArchivePackager::dayTag(const QDate& date) {
    return QString::number(date.dayOfWeek());
}

bool ArchivePackager::sameFolder(const QString& a, const QString& b) {
    const auto normalised = [](const QString& path) {
        const QFileInfo info(path);
        const QString canonical = info.canonicalFilePath();
        return canonical.isEmpty() ? QDir::cleanPath(info.absoluteFilePath()) : canonical;
    };
#ifdef Q_OS_WIN
    constexpr Qt::CaseSensitivity cs = Qt::CaseInsensitive;
#else
    constexpr Qt::CaseSensitivity cs = Qt::CaseSensitive;
#endif
    return normalised(a).compare(normalised(b), cs) == 0;
}

ArchiveLocation ArchivePackager::zipprozess(BackupJob& job, const QString& OrdnerZIPDateien,
                                            const QString& ZIP_Passwort,
                                            const QString& fullBackupFile,
                                            const QString& logBackupFile,
                                            const SaveZipName& saveZipName) {
    const QString& dbName = job.DBName;
    m_log.writelogentry(QStringLiteral("ZIP-Prozess beginnt für Datenbank: ") + dbName);
    m_log.processMessages();
    m_log.writelogentry(QStringLiteral("ZIP-Datei ist bestellt für Datenbank: ") + dbName);

    if (job.ZIP_Dateiname.isEmpty()) {
        // A failure to save leaves this method: it ends the whole run.
        if (saveZipName)
            saveZipName(dbName);
        job.ZIP_Dateiname = dbName;
    }

    // The day is taken when the job gets here, so a run past midnight names later jobs by
    // the new day.
    const QDate today = m_clock.now().toLocalTime().date();
    ArchiveLocation location;
    location.archiveName = job.ZIP_Dateiname + dayTag(today) + QStringLiteral(".ZIP");
    location.archivePath = m_programFolder + location.archiveName;

    // Last week's archive of this day stays until today's is complete: the new one is renamed
    // over it, so a night whose backup or packaging fails still leaves last week's archive
    // and its copy to restore from. A symbolic link in the archive's place is not the program's:
    // the link itself goes (what it points to is left alone), so nothing is written or read
    // through it, and tonight's archive takes its name.
    bool made = false;
    if (NoFollowFile::isSymLink(location.archivePath)) {
        QFile::remove(location.archivePath);
        m_log.writelogentry(NoFollowFile::removedLink(location.archivePath));
    }
    if (!fileExists(fullBackupFile)) {
        m_log.writelogentry(QStringLiteral("Datei nicht gefunden: ") + fullBackupFile);
        m_errors.add(1);
    } else {
        made = pack(job, location, ZIP_Passwort, fullBackupFile, logBackupFile);
    }

    // The copy folder is compared as a folder, not as text: chosen without its trailing
    // separator it would otherwise pass as a different folder and the copy would be
    // written onto the archive itself.
    if (made && !OrdnerZIPDateien.isEmpty() && !sameFolder(OrdnerZIPDateien, m_programFolder) &&
        QFileInfo(OrdnerZIPDateien).isDir() && fileExists(location.archivePath))
        location.copyFailed = !copyArchive(
            job, location.archivePath, OrdnerZIPDateien + QLatin1Char('/') + location.archiveName);
    // Last week's archive is no upload of tonight's backup: without today's archive there is
    // no archive path, and the upload says so.
    if (!made)
        location.archivePath.clear();

    m_log.writelogentry(QStringLiteral("ZIP-Prozess abgeschlossen für Datenbank: ") + dbName);
    m_log.processMessages();
    return location;
}

bool ArchivePackager::pack(const BackupJob& job, const ArchiveLocation& archive,
                           const QString& password, const QString& fullBackupFile,
                           const QString& logBackupFile) {
    const QString& archivePath = archive.archivePath;
    m_log.writelogentry(QStringLiteral("ZIP-Datei wird erstellt für Datenbank: ") + job.DBName +
                        QStringLiteral(" / ") + archivePath);
    m_log.processMessages();
    try {
        // Written under a temporary name beside the archive path; only a complete archive is
        // renamed into place, and an unfinished one is removed when `file` goes.
        QSaveFile file(archivePath);
        if (QString refused; !NoFollowFile::openSave(file, &refused))
            throw ProgramError(NoFollowFile::isSymLink(archivePath)
                                   ? refused
                                   : cannotWrite(archivePath, file));
        // The archive holds the databases: it is the owner's alone, whatever the mode of last
        // week's archive it replaces.
        if (!file.setPermissions(ownerOnly))
            throw ProgramError(cannotWrite(archivePath, file));
        m_log.writelogentry(QStringLiteral("ZIP-Datei geöffnet: ") + archivePath);

        const std::unique_ptr<QIODevice> filtered = m_outputFilter ? m_outputFilter(file) : nullptr;
        ZipWriter writer(filtered ? *filtered : static_cast<QIODevice&>(file), archivePath,
                         ZipLimits(), m_deflateOptions);
        writer.setPassword(password);
        // The full backup was there a moment ago; an archive without it is no backup.
        if (!fileExists(fullBackupFile))
            throw ProgramError(QStringLiteral("Datei nicht gefunden: ") + fullBackupFile);
        // The backup files lie where SQL Server's account writes: what is packed is the regular
        // file found under the name, read through the descriptor that was checked, never what a
        // link there points to (the settings file, say, or another account's secrets).
        QFile full;
        if (QString refused; !NoFollowFile::openRegular(full, fullBackupFile, &refused))
            throw ProgramError(refused);
        m_log.writelogentry(QStringLiteral("Starte hinzufügen: ") + fullBackupFile);
        writer.addFile(full, fullBackupFile, QFileInfo(fullBackupFile).fileName());
        m_log.writelogentry(QStringLiteral("Fertig hinzufügen: ") + fullBackupFile);
        m_log.processMessages();
        if (NoFollowFile::isSymLink(logBackupFile) || fileExists(logBackupFile)) {
            // A log backup that cannot be packed as it is counts, and the archive holds the full
            // backup alone.
            QFile logBackup;
            if (QString refused; !NoFollowFile::openRegular(logBackup, logBackupFile, &refused)) {
                m_log.writelogentry(refused);
                m_errors.add(1);
            } else {
                m_log.writelogentry(QStringLiteral("Starte hinzufügen: ") + logBackupFile);
                writer.addFile(logBackup, logBackupFile, QFileInfo(logBackupFile).fileName());
                m_log.writelogentry(QStringLiteral("Fertig hinzufügen: ") + logBackupFile);
            }
        }
        writer.close();
        // Only an archive the disk holds counts as made.
        if (const QString reason = DiskSync::toDisk(file); !reason.isEmpty())
            throw ProgramError(QStringLiteral("Datei kann nicht geschrieben werden: ") +
                               archivePath + QStringLiteral(" (") + reason + QLatin1Char(')'));
        if (!file.commit())
            throw ProgramError(cannotWrite(archivePath, file));
        m_log.writelogentry(QStringLiteral("ZIP-Datei geschlossen: ") + archivePath);
        if (!password.isEmpty())
            m_log.writelogentry(QStringLiteral("ZIP-Datei mit AES-256 verschlüsselt: ") +
                                archive.archiveName);
        m_log.writelogentry(QStringLiteral("ZIP-Datei erstellt für Datenbank: ") + job.DBName +
                            QStringLiteral(" / ") + archivePath);
        return true;
    } catch (const std::exception& e) {
        m_log.writelogentry(exceptionText(e));
        m_log.writelogentry(QStringLiteral("FEHLER bei ZIP-FILE Erstellung für Datenbank: ") +
                            job.DBName);
        m_errors.add(1);
        return false;
    }
}

bool ArchivePackager::copyArchive(const BackupJob& job, const QString& archivePath,
                                  const QString& copyTarget) {
    bool copied = false;
    {
        // Same as the archive: the target is replaced only by a complete copy, and never
        // written through a symbolic link in its place (such a link is removed, not followed).
        if (NoFollowFile::isSymLink(copyTarget) && QFile::remove(copyTarget))
            m_log.writelogentry(NoFollowFile::removedLink(copyTarget));
        QFile source(archivePath);
        QSaveFile target(copyTarget);
        if (source.open(QIODevice::ReadOnly) && NoFollowFile::openSave(target) &&
            target.setPermissions(ownerOnly)) {
            FileHints::readOnceInOrder(source);
            // The copy goes to disk as it is written, not all at once when it is committed.
            FileHints::WriteBehind writeBehind(target);
            constexpr qint64 chunk = 1024 * 1024;
            const auto buffer = std::make_unique<char[]>(chunk);
            bool ok = true;
            for (;;) {
                const qint64 n = source.read(buffer.get(), chunk);
                if (n <= 0) {
                    ok = n == 0;
                    break;
                }
                if (target.write(buffer.get(), n) != n || !writeBehind.written(n)) {
                    ok = false;
                    break;
                }
            }
            // The last chunk may still sit in the buffer: only a copy of the archive's full
            // length that the disk holds counts (a failed flush or sync would still let commit()
            // rename a short or damaged file into place).
            ok = ok && DiskSync::toDisk(target).isEmpty() && target.size() == source.size();
            if (ok) {
                // The copy keeps the archive's modification time, as a file copy does.
                target.setFileTime(source.fileTime(QFileDevice::FileModificationTime),
                                   QFileDevice::FileModificationTime);
                copied = target.commit();
            } else {
                target.cancelWriting();
            }
        }
    }
    if (copied) {
        m_log.writelogentry(QStringLiteral("Kopieerstellung ZIP-FILE für Datenbank: ") +
                            job.DBName);
        return true;
    }
    if (NoFollowFile::isSymLink(copyTarget))
        m_log.writelogentry(NoFollowFile::refusal(copyTarget));
    m_log.writelogentry(QStringLiteral("FEHLER bei Kopieerstellung ZIP-FILE für Datenbank: ") +
                        job.DBName);
    m_log.writelogentry(archivePath);
    m_log.writelogentry(copyTarget);
    m_errors.add(1);
    return false;
}
