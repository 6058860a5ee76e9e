#include "FakeClock.h"
#include "FullDiskDevice.h"
#include "MemoryLog.h"
#include "TempFolder.h"
#include "backup/ArchivePackager.h"
#include "core/BackupRun.h"
#include "core/RestoreRun.h"
#include "platform/ErrorCount.h"
#include "platform/ProgramError.h"
#include "UploadUnderTest.h"
#include "settings/Dataset.h"

#include <QFile>
#include <QFileInfo>
#include <QTest>

namespace {
struct JobRow {
    QString name;
    bool ftp = false;
};

// Restore steps that succeed and record where each restore looked for its archive.
struct RecordedRestore : RestoreSteps {
    QStringList finds; // "<from> <weekday>"

    RestoreArchive findArchive(const BackupJob&, const QString&, int weekday,
                               RestoreFrom from) override {
        static const QStringList names{QStringLiteral("any"), QStringLiteral("local"),
                                       QStringLiteral("copy"), QStringLiteral("remote")};
        finds << names.value(int(from)) + QLatin1Char(' ') + QString::number(weekday);
        return {QStringLiteral("/tmp/Lager7.ZIP"), QStringLiteral("Lager7.ZIP"), false};
    }
    UnpackedBackup unpack(const RestoreArchive&, const BackupJob&, const QString&,
                          const BackupFolders&, const QString&) override {
        return {QStringLiteral("a.BAK"), QString(), QStringLiteral("s.BAK"), QString()};
    }
    void discard(const RestoreArchive&, const UnpackedBackup&) override {}
    bool databaseExists(const BackupJob&, const QString&) override { return false; }
    void restore(const BackupJob&, const UnpackedBackup&, const QString&, bool) override {}
    void checkDatabase(const BackupJob&, const QString&) override {}
    void dropDatabase(const BackupJob&, const QString&) override {}
};

// A run over the given jobs whose parts record what they are asked to do. A test changes a
// part's behaviour through its hook.
struct Fixture : SettingsStore, SqlSteps, Packaging, Uploader {
    TempFolder folder;
    MemoryLog log;
    ErrorCount errors;
    QList<BackupJob> jobs;
    QString jobsError; // reading the jobs fails with this
    QStringList calls;
    // The run's backup folders, and those each job's SQL Server steps and packaging were given.
    BackupFolders folders{QStringLiteral("/srv/sicherung/"), QStringLiteral("D:\\Backup\\")};
    QList<BackupFolders> sqlFolders;
    QList<BackupFolders> packagingFolders;
    Dataset editorRows; // never opened: a run does not edit rows
    FakeClock clock{QDateTime(QDate(2026, 12, 13), QTime(2, 30))}; // a Sunday
    int uploadCalls = 0;
    int uploadSucceedsOnCall = 0; // 0: never
    std::function<void(const BackupJob&)> duringSqlSteps;
    std::function<ArchiveLocation(BackupJob&, const ArchivePackager::SaveZipName&)> packs;
    std::function<void(const BackupJob&, const QString&)> stores;
    std::function<bool(const QString& path)> uploads;
    std::function<bool(const BackupJob&, const QString& path, const QString& name)> uploadsAs;
    RecordedRestore restoreSteps;
    ProgramParts parts = partsOf(this);
    BackupRun run{log, errors, parts};
    RestoreRun restoreRun{log, errors, parts, folder.path() + QLatin1Char('/')};

    explicit Fixture(const QList<JobRow>& rows) {
        for (const JobRow& r : rows) {
            BackupJob j;
            j.DBName = r.name;
            j.FTP_aktiv = r.ftp;
            jobs.append(j);
        }
    }

    static ProgramParts partsOf(Fixture* f) {
        ProgramParts p;
        p.settings = f;
        p.sql = f;
        p.packaging = f;
        p.uploader = f;
        p.clock = &f->clock;
        p.restore = &f->restoreSteps;
        return p;
    }

    // The settings: the jobs and the archive names filled in.
    QList<BackupJob> jobsForRun() override {
        if (!jobsError.isEmpty())
            throw ProgramError(jobsError);
        return jobs;
    }
    void storeZipName(const BackupJob& job, const QString& name) override {
        if (stores)
            return stores(job, name);
        calls << QStringLiteral("storeZipName ") + job.DBName + QLatin1Char(' ') + name;
    }
    GeneralSettings generalSettings() override { return {}; }
    // Not used by a run.
    bool fileExists() const override { return true; }
    bool connected() const override { return true; }
    bool create() override { return true; }
    void checkdatabase() override {}
    BackupJob currentJob() override { return {}; }
    void postPendingChanges() override {}
    Dataset& jobRows() override { return editorRows; }
    Dataset& generalRows() override { return editorRows; }

    void arbeitsprozess(const BackupJob& job, const BackupFolders& given) override {
        calls << QStringLiteral("arbeitsprozess ") + job.DBName;
        sqlFolders << given;
        if (duringSqlSteps)
            duringSqlSteps(job);
    }
    QString connectionTest(const BackupJob&) override { return {}; }
    bool isBusy() const override { return false; }

    ArchiveLocation zipprozess(BackupJob& job, const QString&, const QString&,
                               const BackupFolders& given,
                               const ArchivePackager::SaveZipName& save) override {
        packagingFolders << given;
        if (packs)
            return packs(job, save);
        calls << QStringLiteral("zipprozess ") + job.DBName;
        return ArchiveLocation{folder.file(job.DBName + QStringLiteral("3.ZIP")),
                               job.DBName + QStringLiteral("3.ZIP")};
    }

    bool ftphochladen(const BackupJob& job, const QString& path, const QString& name,
                      UploadAttempt&) override {
        ++uploadCalls;
        calls << QStringLiteral("ftphochladen ") + name;
        if (uploadsAs)
            return uploadsAs(job, path, name);
        if (uploads)
            return uploads(path);
        return uploadCalls == uploadSucceedsOnCall;
    }
    void keepArchives(const BackupJob&, const ArchiveLocation& archive, const QDate& day) override {
        calls << QStringLiteral("keepArchives ") + archive.archiveName + QLatin1Char(' ') +
                     day.toString(Qt::ISODate);
    }
};
} // namespace

void writeFile(const QString& path, const QByteArray& content) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(content);
}

QByteArray readFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

QStringList abortedRunLines(int count) {
    return {QStringLiteral("FEHLER: Verarbeitung abgebrochen"),
            QStringLiteral("Fehleranzahl: %1").arg(count)};
}

class TestBackupRun : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void emptyJobListLogsOnlyTheClosingLines() {
        Fixture f({});
        f.errors.add(5); // left over from an earlier run
        f.run.run(f.folders);
        QCOMPARE(f.log.lines, (QStringList{QStringLiteral("Verarbeitung abgeschlossen"),
                                           QStringLiteral("Fehleranzahl: 0")}));
        QVERIFY(f.calls.isEmpty());
    }

    void everyJobInTurn() {
        Fixture f({{QStringLiteral("Lager")}, {QStringLiteral("Kasse")}});
        f.run.run(f.folders);
        QCOMPARE(f.calls, (QStringList{QStringLiteral("arbeitsprozess Lager"),
                                       QStringLiteral("zipprozess Lager"),
                                       QStringLiteral("arbeitsprozess Kasse"),
                                       QStringLiteral("zipprozess Kasse")}));
        // Every job's backup files are written and packed in the run's folders.
        QCOMPARE(f.sqlFolders.size(), 2);
        QCOMPARE(f.packagingFolders.size(), 2);
        for (const BackupFolders& given : f.sqlFolders + f.packagingFolders) {
            QCOMPARE(given.local, f.folders.local);
            QCOMPARE(given.server, f.folders.server);
        }
        QCOMPARE(f.log.lines,
                 (QStringList{QStringLiteral("FTP-Prozess beginnt für Datenbank: Lager"),
                              QStringLiteral("FTP-Prozess nicht gewünscht für Datenbank: Lager"),
                              QStringLiteral("FTP-Prozess abgeschlossen für Datenbank: Lager"),
                              QStringLiteral("FTP-Prozess beginnt für Datenbank: Kasse"),
                              QStringLiteral("FTP-Prozess nicht gewünscht für Datenbank: Kasse"),
                              QStringLiteral("FTP-Prozess abgeschlossen für Datenbank: Kasse"),
                              QStringLiteral("Verarbeitung abgeschlossen"),
                              QStringLiteral("Fehleranzahl: 0")}));
    }

    // A database or archive name that would make a path outside the program folder stops its
    // job before any step (the SQL Server steps delete old backup files by that name); the next
    // job runs.
    void namesOutsideTheProgramFolderAreRefused_data() {
        QTest::addColumn<QString>("dbName");
        QTest::addColumn<QString>("zipName");
        QTest::addColumn<QString>("line");
        const QString prefix = QStringLiteral("FEHLER: ungültiger Dateiname ");
        QTest::newRow("parent folder") << QStringLiteral("../x") << QString()
                                       << prefix + QStringLiteral("\"../x\" für Datenbank: ../x");
        QTest::newRow("slash") << QStringLiteral("a/b") << QString()
                               << prefix + QStringLiteral("\"a/b\" für Datenbank: a/b");
        QTest::newRow("backslash") << QStringLiteral("a\\b") << QString()
                                   << prefix + QStringLiteral("\"a\\b\" für Datenbank: a\\b");
        QTest::newRow("dots inside") << QStringLiteral("a..b") << QString()
                                     << prefix + QStringLiteral("\"a..b\" für Datenbank: a..b");
        QTest::newRow("NUL") << QStringLiteral("Lager") + QChar(u'\0') + QStringLiteral("x")
                             << QString()
                             << prefix + QStringLiteral("\"Lager\\0x\" für Datenbank: Lager\\0x");
        // A line break in a name would let it write a line of its own into the log book and the
        // report, a clean night's last line among them.
        QTest::newRow("line feed") << QStringLiteral("Lager\nFehleranzahl: 0") << QString()
                                   << prefix + QStringLiteral("\"Lager\\nFehleranzahl: 0\" für "
                                                              "Datenbank: Lager\\nFehleranzahl: 0");
        QTest::newRow("carriage return") << QStringLiteral("Lager\r") << QString()
                                         << prefix + QStringLiteral("\"Lager\\r\" für Datenbank: "
                                                                    "Lager\\r");
        QTest::newRow("escape") << QStringLiteral("Lager\x1b[2K") << QString()
                                << prefix + QStringLiteral("\"Lager\\u001b[2K\" für Datenbank: "
                                                           "Lager\\u001b[2K");
        QTest::newRow("line separator") << QStringLiteral("Lager") << QStringLiteral("L\u2028x")
                                        << prefix + QStringLiteral("\"L\\u2028x\" für Datenbank: "
                                                                   "Lager");
        QTest::newRow("archive name") << QStringLiteral("Lager") << QStringLiteral("../../tmp/L")
                                      << prefix +
                                             QStringLiteral(
                                                 "\"../../tmp/L\" für Datenbank: Lager");
    }
    void namesOutsideTheProgramFolderAreRefused() {
        QFETCH(QString, dbName);
        QFETCH(QString, zipName);
        QFETCH(QString, line);
        Fixture f({{dbName, true}, {QStringLiteral("Kasse")}});
        f.jobs[0].ZIP_Dateiname = zipName;
        f.run.run(f.folders);
        QCOMPARE(f.calls, (QStringList{QStringLiteral("arbeitsprozess Kasse"),
                                       QStringLiteral("zipprozess Kasse")}));
        QCOMPARE(f.log.lines.value(0), line);
        QCOMPARE(f.log.lines.last(), QStringLiteral("Fehleranzahl: 1"));
        QCOMPARE(f.errors.value(), 1);
    }

    void startParameter_data() {
        QTest::addColumn<QString>("parameter");
        QTest::addColumn<bool>("packs");
        QTest::newRow("nozip") << "nozip" << false;
        QTest::newRow("NoZip") << "NoZip" << true;
        QTest::newRow("-nozip") << "-nozip" << true;
        QTest::newRow("none") << "" << true;
    }
    void startParameter() {
        QFETCH(QString, parameter);
        QFETCH(bool, packs);
        Fixture f({{QStringLiteral("Lager"), true}, {QStringLiteral("Kasse"), true}});
        f.run.setFirstStartParameter(parameter);
        f.uploadSucceedsOnCall = 1;
        f.run.run(f.folders);
        QCOMPARE(f.calls.contains(QStringLiteral("zipprozess Lager")), packs);
        QCOMPARE(f.uploadCalls > 0, packs);
        const QString nozipLine = QStringLiteral(
            "Programmstartparameter nozip gesetzt, kein ZIP- und FTP-Prozess ausgeführt: Kasse");
        QCOMPARE(f.log.lines.contains(nozipLine), !packs);
        QCOMPARE(f.calls.filter(QStringLiteral("arbeitsprozess")).size(), 2);
    }

    void uploadAttempts_data() {
        QTest::addColumn<int>("succeedsOnCall");
        QTest::addColumn<int>("expectedCalls");
        QTest::addColumn<int>("expectedErrors");
        QTest::newRow("first call") << 1 << 1 << 0;
        QTest::newRow("third call") << 3 << 3 << 0;
        QTest::newRow("tenth call") << 10 << 10 << 0;
        QTest::newRow("never") << 0 << 10 << 1;
    }
    void uploadAttempts() {
        QFETCH(int, succeedsOnCall);
        QFETCH(int, expectedCalls);
        QFETCH(int, expectedErrors);
        Fixture f({{QStringLiteral("Lager"), true}});
        f.uploadSucceedsOnCall = succeedsOnCall;
        f.run.run(f.folders);
        QCOMPARE(f.uploadCalls, expectedCalls);
        QCOMPARE(f.calls.filter(QStringLiteral("ftphochladen Lager3.ZIP")).size(), expectedCalls);
        // The weekly and monthly archives once the upload worked, after its last attempt.
        QCOMPARE(f.calls.last() == QLatin1String("keepArchives Lager3.ZIP 2026-12-13"),
                 expectedErrors == 0);
        QCOMPARE(f.calls.filter(QStringLiteral("keepArchives")).size(), expectedErrors == 0);
        QCOMPARE(f.errors.value(), expectedErrors);
        QCOMPARE(f.log.lines.last(), QStringLiteral("Fehleranzahl: %1").arg(expectedErrors));
        // No line of the run between the attempts.
        QCOMPARE(f.log.lines.mid(0, 2),
                 (QStringList{QStringLiteral("FTP-Prozess beginnt für Datenbank: Lager"),
                              QStringLiteral("FTP-Prozess abgeschlossen für Datenbank: Lager")}));
    }

    // Each attempt that finds no archive counts by itself; the run adds one when none worked.
    void missingArchiveCountsEveryAttemptAndOnce() {
        Fixture f({{QStringLiteral("Lager"), true}});
        f.uploads = [&](const QString& path) {
            if (!QFileInfo::exists(path))
                f.errors.add(1);
            return false;
        };
        f.run.run(f.folders);
        QCOMPARE(f.uploadCalls, 10);
        QCOMPARE(f.errors.value(), 11);
    }

    // The full backup or the packing fails, with the real packing and upload: last week's
    // archive of the day stays on disk for a restore but is never shipped as tonight's; every
    // attempt says there is no archive, and the night counts the failure, the ten attempts and
    // the failed upload.
    void failedBackupOrPackingShipsNothing_data() {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("packingLine"); // %1: the program folder
        QTest::addColumn<QString>("uploadLine");
        QTest::addColumn<int>("count");
        const QString noArchive =
            QStringLiteral("FEHLER: Ohne ZIP ist FTP nicht möglich für Datenbank: Lager3.ZIP");
        // full backup 1, missing backup file 1, attempts 10, upload 1
        QTest::newRow("the full backup fails")
            << "backup" << QStringLiteral("Datei nicht gefunden: %1Lager.BAK") << noArchive << 13;
        // packing 1, attempts 10, upload 1
        QTest::newRow("packing fails")
            << "packing"
            << QStringLiteral("FEHLER bei ZIP-FILE Erstellung für Datenbank: Lager") << noArchive
            << 12;
        // Tonight's archive made: the attempts get past it to the missing server.
        QTest::newRow("packed, no server")
            << "none" << QStringLiteral("ZIP-Datei erstellt für Datenbank: Lager / %1Lager3.ZIP")
            << QStringLiteral("FEHLER: FTP-Server fehlt für Datenbank: Lager3.ZIP") << 11;
    }
    void failedBackupOrPackingShipsNothing() {
        QFETCH(QString, fault);
        QFETCH(QString, packingLine);
        QFETCH(QString, uploadLine);
        QFETCH(int, count);
        Fixture f({{QStringLiteral("Lager"), true}});
        f.jobs[0].ZIP_Dateiname = QStringLiteral("Lager");
        const QString bak = f.folder.file(QStringLiteral("Lager.BAK"));
        const QString archive = f.folder.file(QStringLiteral("Lager3.ZIP"));
        writeFile(archive, "last week");
        const FakeClock clock{QDateTime(QDate(2026, 12, 9), QTime(2, 30))}; // a Wednesday
        ArchivePackager packager(f.log, f.errors, clock, f.folder.path());
        if (fault == QLatin1String("packing"))
            packager.setOutputFilter(
                [](QIODevice& file) { return std::make_unique<FullDiskDevice>(file, 0); });
        UploadUnderTest upload(f.log, f.errors);
        f.duringSqlSteps = [&](const BackupJob&) {
            if (fault == QLatin1String("backup"))
                f.errors.add(1); // the failed statement counts; it leaves no backup file
            else
                writeFile(bak, "ORVELSIMBACKUP01 heute");
        };
        f.packs = [&](BackupJob& job, const ArchivePackager::SaveZipName& save) {
            return packager.zipprozess(job, QString(), QString(), bak,
                                       f.folder.file(QStringLiteral("Lager.TRN")), save);
        };
        f.uploadsAs = [&](const BackupJob& job, const QString& path, const QString& name) {
            return upload.ftphochladen(job, path, name);
        };
        f.run.run(f.folders);

        QVERIFY(f.log.lines.contains(packingLine.arg(f.folder.path())));
        QCOMPARE(f.uploadCalls, 10);
        QCOMPARE(f.log.lines.count(uploadLine), 10);
        QCOMPARE(f.log.lines.filter(QStringLiteral("FEHLER: ")).size(), 10);
        QCOMPARE(f.log.lines.last(), QStringLiteral("Fehleranzahl: %1").arg(count));
        QCOMPARE(f.errors.value(), count);
        QCOMPARE(readFile(archive) == "last week", fault != QLatin1String("none"));
    }

    // The night's restore test proves tonight's archive: from the destination once the upload
    // put it there, else from the program folder, since a failed upload or copy leaves last
    // week's archive of the day where it went. Without tonight's archive there is nothing to
    // prove: the test fails instead of proving last week's.
    void restoreTestProvesTonightsArchive_data() {
        QTest::addColumn<bool>("ftp");
        QTest::addColumn<bool>("uploadWorks");
        QTest::addColumn<QString>("archive"); // made, copy failed, none
        QTest::addColumn<bool>("pastMidnight"); // the upload ends on Monday
        QTest::addColumn<QStringList>("finds");
        QTest::addColumn<QStringList>("lines"); // every line naming the restore, in order
        QTest::addColumn<int>("count");
        const QString db = QStringLiteral(" für Datenbank: Lager");
        const QStringList tested{
            "Wiederherstellung gestartet" + db,
            "Datenbank wiederhergestellt" + db + " als Lager_Wiederherstellungstest",
            "Integritätsprüfung nach Wiederherstellung erfolgreich" + db,
            "Wiederherstellungstest erfolgreich" + db};
        const QStringList notTested{
            "Wiederherstellungstest nicht möglich, da in dieser Nacht kein Archiv erstellt "
            "wurde," + db,
            "FEHLER beim Wiederherstellungstest" + db};
        QTest::newRow("uploaded: from the destination")
            << true << true << "made" << false << QStringList{"remote 7"} << tested << 0;
        QTest::newRow("upload failed: from the program folder")
            << true << false << "made" << false << QStringList{"local 7"}
            << QStringList{"Wiederherstellungstest aus dem Programmordner, da der Upload "
                           "fehlschlug," + db} + tested
            << 1;
        QTest::newRow("no upload: from the copy folder")
            << false << false << "made" << false << QStringList{"copy 7"} << tested << 0;
        QTest::newRow("copy failed: from the program folder")
            << false << false << "copy failed" << false << QStringList{"local 7"}
            << QStringList{"Wiederherstellungstest aus dem Programmordner, da die Kopie in den "
                           "Kopieordner fehlschlug," + db} + tested
            << 0;
        QTest::newRow("no archive tonight, upload")
            << true << false << "none" << false << QStringList() << notTested << 2;
        QTest::newRow("no archive tonight, no upload")
            << false << false << "none" << false << QStringList() << notTested << 1;
        // Sunday's archive, uploaded after midnight, is Sunday's test, not Monday's.
        QTest::newRow("upload past midnight")
            << true << true << "made" << true << QStringList{"remote 7"} << tested << 0;
    }
    void restoreTestProvesTonightsArchive() {
        QFETCH(bool, ftp);
        QFETCH(bool, uploadWorks);
        QFETCH(QString, archive);
        QFETCH(bool, pastMidnight);
        QFETCH(QStringList, finds);
        QFETCH(QStringList, lines);
        QFETCH(int, count);
        Fixture f({{QStringLiteral("Lager"), ftp}});
        f.run.setRestoreTest(&f.restoreRun, 7); // Sundays
        f.clock.current = QDateTime(QDate(2026, 12, 13), QTime(23, 58)); // a Sunday
        f.packs = [&](BackupJob& job, const ArchivePackager::SaveZipName&) {
            ArchiveLocation made{f.folder.file(job.DBName + QStringLiteral("7.ZIP")),
                                 job.DBName + QStringLiteral("7.ZIP")};
            if (archive == QLatin1String("none"))
                made.archivePath.clear();
            made.copyFailed = archive == QLatin1String("copy failed");
            return made;
        };
        f.uploads = [&](const QString&) {
            if (pastMidnight)
                f.clock.current = QDateTime(QDate(2026, 12, 14), QTime(0, 5));
            return uploadWorks;
        };
        f.run.run(f.folders);

        QCOMPARE(f.restoreSteps.finds, finds);
        const QStringList restoreLines = f.log.lines.filter(QStringLiteral("Wiederherstell"));
        QCOMPARE(restoreLines, lines);
        QVERIFY(f.log.lines.indexOf(restoreLines.first()) >
                f.log.lines.indexOf(QStringLiteral("FTP-Prozess abgeschlossen für Datenbank: Lager")));
        QCOMPARE(f.errors.value(), count);
        QCOMPARE(f.log.lines.last(), QStringLiteral("Fehleranzahl: %1").arg(count));
        QCOMPARE(f.run.outcomes().size(), 1);
        QVERIFY(f.run.outcomes().first().restoreTested);
        QCOMPARE(f.run.outcomes().first().restoreOk, !finds.isEmpty());
        QVERIFY(f.run.outcomes().first().restoreTestEnd.isValid());
    }

    void secondRunStartsFromZero() {
        Fixture f({{QStringLiteral("Lager"), true}});
        f.run.run(f.folders);
        QCOMPARE(f.errors.value(), 1);
        f.uploadCalls = 0;
        f.uploadSucceedsOnCall = 1;
        f.run.run(f.folders);
        QCOMPARE(f.errors.value(), 0);
        QCOMPARE(f.log.lines.last(), QStringLiteral("Fehleranzahl: 0"));
    }

    void startWhileRunningIsRefused() {
        Fixture f({{QStringLiteral("Lager")}, {QStringLiteral("Kasse")}});
        f.duringSqlSteps = [&](const BackupJob& job) {
            if (job.DBName == QLatin1String("Lager")) {
                QVERIFY(f.run.isRunning());
                f.run.run(f.folders); // a click on the start button in the middle of the run
            }
        };
        f.run.run(f.folders);
        QCOMPARE(f.calls, (QStringList{QStringLiteral("arbeitsprozess Lager"),
                                       QStringLiteral("zipprozess Lager"),
                                       QStringLiteral("arbeitsprozess Kasse"),
                                       QStringLiteral("zipprozess Kasse")}));
        QCOMPARE(
            f.log.lines.first(),
            QStringLiteral("Sicherung läuft bereits, ein weiterer Start wird nicht ausgeführt"));
        QCOMPARE(f.log.lines.count(QStringLiteral("Verarbeitung abgeschlossen")), 1);
        QVERIFY(!f.run.isRunning());
    }

    // Storing a filled-in archive name fails: the run ends there, without its closing lines.
    void failureOutsideTheGuardedStepsEndsTheRun() {
        Fixture f({{QStringLiteral("Lager")}, {QStringLiteral("Kasse")}});
        f.packs = [](BackupJob& job, const ArchivePackager::SaveZipName& save) {
            save(job.DBName);
            return ArchiveLocation{};
        };
        f.stores = [](const BackupJob&, const QString&) {
            throw ProgramError(QStringLiteral("Datensatz kann nicht gespeichert werden"));
        };
        f.run.run(f.folders);
        QVERIFY(!f.log.lines.contains(QStringLiteral("Verarbeitung abgeschlossen")));
        QCOMPARE(f.log.lines.mid(f.log.lines.size() - 3),
                 QStringList{QStringLiteral("Datensatz kann nicht gespeichert werden")} +
                     abortedRunLines(1));
        QCOMPARE(f.errors.value(), 1);
        QVERIFY(!f.calls.contains(QStringLiteral("arbeitsprozess Kasse")));
        QVERIFY(!f.run.isRunning());
    }

    // The jobs cannot be read: the run ends there, logged and counted from zero.
    void unreadableJobsEndTheRunCounted() {
        Fixture f({{QStringLiteral("Lager")}});
        f.jobsError = QStringLiteral("Datei ist keine Datenbank");
        f.errors.add(3);
        f.run.run(f.folders);
        QVERIFY(f.calls.isEmpty());
        QCOMPARE(f.log.lines,
                 QStringList{QStringLiteral("Datei ist keine Datenbank")} + abortedRunLines(1));
        QCOMPARE(f.errors.value(), 1);
    }

    // Failures that belong to the run but came before it (a failed start preparation) are in
    // its count from the start.
    void countStartsWithWhatFailedBefore() {
        Fixture f({{QStringLiteral("Lager")}});
        f.errors.add(7);
        f.run.setFirstStartParameter(QStringLiteral("nozip"));
        f.run.run(f.folders, 1);
        QCOMPARE(f.log.lines.last(), QStringLiteral("Fehleranzahl: 1"));
    }

    // The archive name filled in by packaging is stored for the job it belongs to.
    void filledInZipNameIsStoredForItsJob() {
        Fixture f({{QStringLiteral("Lager")}, {QStringLiteral("Kasse")}});
        f.packs = [](BackupJob& job, const ArchivePackager::SaveZipName& save) {
            if (job.DBName == QLatin1String("Kasse"))
                save(job.DBName);
            return ArchiveLocation{};
        };
        f.run.run(f.folders);
        QCOMPARE(f.calls.filter(QStringLiteral("storeZipName")),
                 QStringList{QStringLiteral("storeZipName Kasse Kasse")});
    }
};

QTEST_GUILESS_MAIN(TestBackupRun)
#include "tst_backuprun.moc"
