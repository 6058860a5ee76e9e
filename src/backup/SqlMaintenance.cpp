#include "backup/SqlMaintenance.h"

#include "sqlserver/SqlConnectionString.h"
#include "sqlserver/SqlDbProcess.h"
#include "sqlserver/SqlEncryption.h"
#include "sqlserver/SqlQuoting.h"
#include "platform/ErrorCount.h"
#include "platform/IniFile.h"
#include "platform/LogSink.h"
#include "platform/ProgramError.h"
#include "platform/WorkerCall.h"

#include <QFile>
#include <QLocale>
#include <QScopeGuard>

namespace {

// Sizes print like a general floating-point number in the user's locale; page counts are
// whole numbers, so in practice "8192" for 1024 pages.
QString sizeText(double kilobytes) {
    QLocale locale = QLocale::system();
    locale.setNumberOptions(QLocale::OmitGroupSeparator);
    return locale.toString(kilobytes, 'g', 15);
}

QString busyText() {
    return QStringLiteral(
        "Der SQL-Server-Zugriff einer Sicherung läuft noch; bitte warten, bis er beendet ist.");
}

} // namespace

SqlMaintenance::SqlMaintenance(LogSink& log, ErrorCount& errors, QString programFolder)
    : m_log(log), m_errors(errors), m_programFolder(std::move(programFolder)) {
    queryMaster.setCommandTimeout(QueryTimeout);
    querysysfiles.setCommandTimeout(QueryTimeout);
    sourceSysFiles.dataSet = &querysysfiles;
}

QString SqlMaintenance::jobConnectionString(const BackupJob& job) {
    return SqlConnectionString::build(job.DBPasswort, job.DBBenutzer, job.DBName, job.DBServer);
}

QString SqlMaintenance::masterConnectionString(const BackupJob& job) {
    return SqlConnectionString::build(job.DBPasswort, job.DBBenutzer, QStringLiteral("master"),
                                      job.DBServer);
}

bool SqlMaintenance::verifyBackup() const {
    if (m_iniFile.isEmpty())
        return false;
    return IniFile(m_iniFile).value(QStringLiteral("OrvelSQLBackup"),
                                    QStringLiteral("VerifyBackup")) == QLatin1String("1");
}

void SqlMaintenance::log(const QString& text) {
    m_log.writelogentry(text);
}

void SqlMaintenance::noteUnverified() {
    const QStringList servers = SqlDbProcess::takeUnverifiedServers();
    if (servers.isEmpty() || m_unverifiedNoted)
        return;
    m_unverifiedNoted = true;
    log(QStringLiteral("Hinweis: Verbindung zu SQL Server %1 verschlüsselt, Zertifikat nicht "
                       "geprüft")
            .arg(servers.first()));
}

void SqlMaintenance::fail(const std::exception& e, const QString& failureLine) {
    log(exceptionText(e));
    log(failureLine);
    m_errors.add(1);
}

bool SqlMaintenance::runStatement(const Step& step, const QString& statement, const QString& dbName,
                                  bool fullModel) {
    if (step.skip && !fullModel) {
        log(QString::fromUtf16(step.skip) + dbName);
        return false;
    }
    log(QString::fromUtf16(step.start) + dbName);
    m_log.processMessages();
    SQLCommand.setCommandText(statement);
    bool ok = false;
    try {
        SQLCommand.execute();
        log(QString::fromUtf16(step.success) + dbName);
        ok = true;
    } catch (const std::exception& e) {
        fail(e, QString::fromUtf16(step.failure) + dbName);
    }
    noteUnverified();
    m_log.processMessages();
    return ok;
}

void SqlMaintenance::arbeitsprozess(const BackupJob& job, const BackupFolders& folders) {
    if (m_busy || WorkerCall::isWaiting())
        throw ProgramError(busyText());
    m_busy = true;
    const auto done = qScopeGuard([this] { m_busy = false; });

    const QString& db = job.DBName;
    const QString jobConnection = jobConnectionString(job);
    const bool verify = verifyBackup();
    log(QStringLiteral("Arbeitsprozess beginn für Datenbank: ") + db);
    // Every connection reads SqlEncrypt= itself; the job says once what it did not know.
    if (const QString warning = SqlEncryption::fromIni(m_iniFile).warning; !warning.isEmpty())
        log(warning);
    // Connections before this job (a connection test) are not this job's to name.
    SqlDbProcess::takeUnverifiedServers();
    m_unverifiedNoted = false;

    // Connection check.
    SQLCon.close();
    SQLCon.setConnectionString(jobConnection);
    try {
        SQLCon.open();
        log(QStringLiteral("Verbunden mit Datenbank: ") + db);
    } catch (const std::exception& e) {
        fail(e, QStringLiteral("FEHLER nicht verbunden mit Datenbank: ") + db);
    }
    noteUnverified();
    SQLCon.close();

    // Recovery model.
    QString recoveryModel;
    queryMaster.close();
    queryMaster.setConnectionString(masterConnectionString(job));
    queryMaster.setSql(
        QStringLiteral("SELECT Name, recovery_model_desc FROM sys.databases WHERE name=") +
        SqlQuoting::text(db));
    log(QStringLiteral("Hole Wiederherstellungsmodell für Datenbank: ") + db);
    try {
        queryMaster.open();
        if (!queryMaster.rows().isEmpty())
            recoveryModel = queryMaster.rows().first().text(QStringLiteral("recovery_model_desc"));
        log(QStringLiteral("Wiederherstellungsmodell für Datenbank: ") + db +
            QStringLiteral(" ist ") + recoveryModel);
    } catch (const std::exception& e) {
        recoveryModel.clear();
        fail(e,
             QStringLiteral(
                 "FEHLER: Wiederherstellungsmodell kann nicht abgerufen werden für Datenbank: ") +
                 db);
    }
    noteUnverified();
    queryMaster.close();

    // Data and log file; with several of one type the last one read wins. The ids go into the
    // shrink statements, so they are taken as numbers: a text that is none fails this step.
    QString dataFileId;
    QString logFileId;
    double dataFileSize = 0.0;
    double logFileSize = 0.0;
    log(QStringLiteral("Hole Datei-Identifikation für Datenbank: ") + db);
    querysysfiles.close();
    querysysfiles.setConnectionString(jobConnection);
    querysysfiles.setSql(QStringLiteral("select * from sys.database_files"));
    try {
        querysysfiles.open();
        for (const SqlRecord& row : querysysfiles.rows()) {
            const qint64 type = row.integer(QStringLiteral("type"));
            if (type == 0) {
                dataFileId = QString::number(row.integer(QStringLiteral("file_id")));
                dataFileSize = row.number(QStringLiteral("size")) * 8.0;
            } else if (type == 1) {
                logFileId = QString::number(row.integer(QStringLiteral("file_id")));
                logFileSize = row.number(QStringLiteral("size")) * 8.0;
            }
        }
    } catch (const std::exception& e) {
        fail(e, QStringLiteral("FEHLER beim Holen der Datei-Identifikation für Datenbank: ") + db);
    }
    noteUnverified();
    querysysfiles.close();

    log(QStringLiteral("FileID für Datenbank: ") + dataFileId);
    log(QStringLiteral("Dateigröße für Datenbank: ") + sizeText(dataFileSize) +
        QStringLiteral(" KB"));
    log(QStringLiteral("FileID für Protokoll: ") + logFileId);
    log(QStringLiteral("Dateigröße für Protokoll: ") + sizeText(logFileSize) +
        QStringLiteral(" KB"));

    // A backup that fails must not leave the previous run's file behind as if it were new.
    m_log.processMessages();
    m_fullBackupFile = folders.fullBackup(db);
    m_logBackupFile = folders.logBackup(db);
    if (folders.local != m_programFolder && !folders.localFolderUsable()) {
        // A backup folder set in the INI file that this program cannot use: the job's files
        // could neither be cleared nor packed, so this counts here, once per job.
        fail(ProgramError(QStringLiteral("Sicherungsordner nicht verfügbar: ") + folders.local),
             QStringLiteral("FEHLER bei den Sicherungsdateien für Datenbank: ") + db);
    } else {
        if (QFile::exists(m_fullBackupFile))
            QFile::remove(m_fullBackupFile);
        if (QFile::exists(m_logBackupFile))
            QFile::remove(m_logBackupFile);
    }

    SQLCommand.setConnectionString(jobConnection);
    SQLCommand.setCommandTimeout(m_commandTimeout);

    const bool full = recoveryModel == QLatin1String("FULL");
    const QString withChecksum = verify ? QStringLiteral(" WITH CHECKSUM") : QString();
    const QString backupDatabase = QStringLiteral("BACKUP DATABASE ") + SqlQuoting::name(db) +
                                   QStringLiteral(" TO DISK=") +
                                   SqlQuoting::text(folders.serverFullBackup(db)) +
                                   withChecksum;
    const QString checkDatabase =
        QStringLiteral("DBCC CHECKDB (") + SqlQuoting::name(db) + QLatin1Char(')');
    const QString shrinkData = QStringLiteral("DBCC SHRINKFILE (") + dataFileId + QLatin1Char(')');
    const QString backupLog = QStringLiteral("BACKUP LOG ") + SqlQuoting::name(db) +
                              QStringLiteral(" TO DISK=") +
                              SqlQuoting::text(folders.serverLogBackup(db)) +
                              withChecksum;
    // The check reads a backup set back as a restore would, its page checksums included; the
    // server reads it where it wrote it.
    const Step checkStep{u"Prüfe Backup für Datenbank: ", u"Backup geprüft für Datenbank: ",
                         u"FEHLER bei Backup-Prüfung für Datenbank: ", nullptr};
    const auto verifyOnly = [&](const QString& file, int backupSet) {
        QString statement = QStringLiteral("RESTORE VERIFYONLY FROM DISK=") +
                            SqlQuoting::text(file) + QStringLiteral(" WITH ");
        if (backupSet > 0)
            statement += QStringLiteral("FILE = %1, ").arg(backupSet);
        runStatement(checkStep, statement + QStringLiteral("CHECKSUM"), db, full);
    };
    const QString shrinkLog = QStringLiteral("DBCC SHRINKFILE (") + logFileId + QLatin1Char(')');

    if (!runStatement({u"Starte Backup für Datenbank: ", u"Backup abgeschlossen für Datenbank: ",
                       u"FEHLER bei Backup für Datenbank: ", nullptr},
                      backupDatabase, db, full)) {
        // What a failed or cancelled backup may have written is no backup: it must not be
        // packed as one.
        if (QFile::exists(m_fullBackupFile))
            QFile::remove(m_fullBackupFile);
    } else if (verify) {
        verifyOnly(folders.serverFullBackup(db), 0);
    }
    runStatement({u"Starte Datenbankprüfung für Datenbank: ",
                  u"Datenbankprüfung abgeschlossen für Datenbank: ",
                  u"FEHLER bei Datenbankprüfung für Datenbank: ", nullptr},
                 checkDatabase, db, full);
    runStatement({u"Starte Dateiverkleinerung für DB-FILE für Datenbank: ",
                  u"DB-FILE Verkleinerung abgeschlossen für Datenbank: ",
                  u"FEHLER bei DB-FILE Verkleinerung für Datenbank: ", nullptr},
                 shrinkData, db, full);
    // Until one log backup of this job has worked, whatever a failed one left in the .TRN is no
    // backup and must not be packed; after that, the file holds a good set and stays.
    // Each log backup that worked adds a set to the .TRN; the check reads the newest.
    int logSets = 0;
    const auto logBackup = [&](const Step& step) {
        if (runStatement(step, backupLog, db, full)) {
            ++logSets;
            if (verify)
                verifyOnly(folders.serverLogBackup(db), logSets);
        } else if (logSets == 0 && QFile::exists(m_logBackupFile)) {
            QFile::remove(m_logBackupFile);
        }
    };
    logBackup({u"Starte Backup LOG für Datenbank: ", u"Backup LOG abgeschlossen für Datenbank: ",
               u"FEHLER bei Backup LOG für Datenbank: ",
               u"Backup LOG übersprungen für Datenbank: "});
    runStatement({u"Starte Dateiverkleinerung für LOG-FILE für Datenbank: ",
                  u"LOG-FILE Verkleinerung abgeschlossen für Datenbank: ",
                  u"FEHLER bei LOG-FILE Verkleinerung für Datenbank: ", nullptr},
                 shrinkLog, db, full);
    log(QStringLiteral("Arbeitsprozess abgeschlossen für Datenbank: ") + db);
    logBackup({u"Starte Backup2 LOG für Datenbank: ", u"Backup2 LOG abgeschlossen für Datenbank: ",
               u"FEHLER bei Backup2 LOG für Datenbank: ",
               u"Backup2 LOG übersprungen für Datenbank: "});
    runStatement({u"Starte Dateiverkleinerung2 für LOG-FILE für Datenbank: ",
                  u"LOG-FILE Verkleinerung2 abgeschlossen für Datenbank: ",
                  u"FEHLER bei LOG-FILE Verkleinerung2 für Datenbank: ", nullptr},
                 shrinkLog, db, full);
    log(QStringLiteral("Arbeitsprozess abgeschlossen für Datenbank: ") + db);
}

QString SqlMaintenance::connectionTest(const BackupJob& job) {
    if (m_busy || WorkerCall::isWaiting())
        throw ProgramError(busyText());
    if (job.DBName.isEmpty())
        return QStringLiteral("keine Datenbank eingestellt");
    m_busy = true;
    const auto done = qScopeGuard([this] { m_busy = false; });
    SQLCon.close();
    SQLCon.setConnectionString(jobConnectionString(job));
    try {
        SQLCon.open();
        return QStringLiteral("OK");
    } catch (const std::exception&) {
        return QStringLiteral("Erfolglos");
    }
}
