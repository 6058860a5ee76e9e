#include "FakeClock.h"
#include "FullDiskDevice.h"
#include "MemoryLog.h"
#include "TempFolder.h"
#include "ZipCheck.h"
#include "archive/ZipWriter.h"
#include "backup/ArchivePackager.h"
#include "platform/ErrorCount.h"
#include "platform/NoFollowFile.h"
#include "platform/ProgramError.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QtTest>

#include <cerrno>
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

// This suite links with fsync wrapped: a file under `syncFailsUnder` cannot be synced, as when
// the disk reports an error while writing back what it was given.
extern "C" int __real_fsync(int fd);

namespace {
QString syncFailsUnder;
} // namespace

extern "C" int __wrap_fsync(int fd) {
    if (!syncFailsUnder.isEmpty()) {
        const QString path = QFile::symLinkTarget(QStringLiteral("/proc/self/fd/%1").arg(fd));
        if (path.startsWith(syncFailsUnder)) {
            errno = EIO;
            return -1;
        }
    }
    return __real_fsync(fd);
}

namespace {

const QDate wednesday(2026, 3, 11);

enum Damage { FlipBit, CutShort, ZeroHeader };
const QDate sunday(2026, 3, 15);

QByteArray rows(int count, quint32 seed) {
    QRandomGenerator rng(seed);
    QByteArray data;
    for (int i = 0; i < count; ++i)
        data += "Artikel " + QByteArray::number(i) + ";Lager Süd;" +
                QByteArray::number(rng.bounded(100000)) + "\n";
    return data;
}

QByteArray noise(int size, quint32 seed) {
    QRandomGenerator rng(seed);
    QByteArray data(size, '\0');
    for (char& c : data)
        c = char(rng.generate() & 0xFF);
    return data;
}

QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Files of a folder, sorted, so a leftover temporary file shows.
QStringList listing(const QString& folder) {
    return QDir(folder).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden,
                                  QDir::Name);
}

// One job's program folder and copy folder, log, count and clock.
struct Fixture {
    TempFolder program;
    TempFolder copies;
    MemoryLog log;
    ErrorCount errors;
    FakeClock clock{QDateTime(wednesday, QTime(2, 30))};
    ArchivePackager packager{log, errors, clock, program.path()};
    QStringList saved;
    QList<int> processedAt; // number of log lines each time the window was let breathe

    Fixture() {
        log.onProcess = [this] { processedAt.append(int(log.lines.size())); };
    }
    QString bak(const QString& db) const { return program.file(db + QStringLiteral(".BAK")); }
    QString trn(const QString& db) const { return program.file(db + QStringLiteral(".TRN")); }
    void write(const QString& path, const QByteArray& data) const {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        QCOMPARE(f.write(data), data.size());
    }
    ArchiveLocation run(BackupJob& job, const QString& copyFolder,
                        const QString& password = QString()) {
        return packager.zipprozess(job, copyFolder, password, bak(job.DBName), trn(job.DBName),
                                   [this](const QString& name) { saved.append(name); });
    }
};

BackupJob job(const QString& db, const QString& zipName = QString()) {
    BackupJob j;
    j.DBName = db;
    j.ZIP_Dateiname = zipName;
    return j;
}

QString copyFolderNoSlash(const TempFolder& f) {
    QString p = f.path();
    p.chop(1);
    return p;
}

// Hands every write on and, at the second one (the first after the entry's header), lets the
// test change the backup file that is being read, as another program might.
class ChangingSource : public QIODevice {
public:
    ChangingSource(QIODevice& below, std::function<void()> change)
        : m_below(below), m_change(std::move(change)) {
        open(QIODevice::WriteOnly);
    }
    bool isSequential() const override { return false; }
    bool seek(qint64 pos) override { return m_below.seek(pos) && QIODevice::seek(pos); }
    qint64 size() const override { return m_below.size(); }

protected:
    qint64 readData(char*, qint64) override { return -1; }
    qint64 writeData(const char* data, qint64 len) override {
        if (++m_writes == 2)
            m_change();
        return m_below.write(data, len);
    }

private:
    QIODevice& m_below;
    std::function<void()> m_change;
    int m_writes = 0;
};

} // namespace

class TestArchivePackager : public QObject {
    Q_OBJECT

private slots:
    void packsBackupFiles_data();
    void packsBackupFiles();
    void emptyZipNameTakesDBName_data();
    void emptyZipNameTakesDBName();
    void savingTheNameFailsEndsTheRun();
    void dayTagIsTheIsoWeekday_data();
    void dayTagIsTheIsoWeekday();
    void runPastMidnight();
    void twoJobsShareOneZipName();
    void missingFullBackup();
    void copySkipped_data();
    void copySkipped();
    void existingCopyIsReplaced();
    void copyFailure();
    void failureHalfWay_data();
    void failureHalfWay();
    void damagedBlockFailsPackaging_data();
    void damagedBlockFailsPackaging();
    void archivePathBlocked();
    void linkInPlaceOfAnArchive_data();
    void linkInPlaceOfAnArchive();
    void backupChangingWhilePacked_data();
    void backupChangingWhilePacked();
    void copyCutShort();
    void diskReportsAnError_data();
    void diskReportsAnError();
    void backupFilesAreReadAsTheyAre_data();
    void backupFilesAreReadAsTheyAre();
    void archivesArePrivate_data();
    void archivesArePrivate();
};

void TestArchivePackager::packsBackupFiles_data() {
    QTest::addColumn<bool>("withLogBackup");
    QTest::addColumn<QString>("password");
    QTest::newRow("FULL recovery: .BAK then .TRN") << true << QString();
    QTest::newRow("SIMPLE recovery: .BAK alone") << false << QString();
    QTest::newRow("FULL recovery, ZIP password") << true << QStringLiteral("Geheim-ß");
}

void TestArchivePackager::packsBackupFiles() {
    QFETCH(bool, withLogBackup);
    QFETCH(QString, password);
    Fixture f;
    const QString db = QStringLiteral("Lager");
    f.write(f.bak(db), rows(20000, 1));
    if (withLogBackup)
        f.write(f.trn(db), rows(500, 2));
    f.write(f.program.file(QStringLiteral("Lager3.ZIP")), "last week");
    BackupJob j = job(db, QStringLiteral("Lager"));

    const ArchiveLocation where = f.run(j, copyFolderNoSlash(f.copies), password);

    const QString archive = f.program.file(QStringLiteral("Lager3.ZIP"));
    QCOMPARE(where.archiveName, QStringLiteral("Lager3.ZIP"));
    QCOMPARE(where.archivePath, archive);
    QStringList expected{QStringLiteral("ZIP-Prozess beginnt für Datenbank: Lager"),
                         QStringLiteral("ZIP-Datei ist bestellt für Datenbank: Lager"),
                         QStringLiteral("ZIP-Datei wird erstellt für Datenbank: Lager / ") +
                             archive,
                         QStringLiteral("ZIP-Datei geöffnet: ") + archive,
                         QStringLiteral("Starte hinzufügen: ") + f.bak(db),
                         QStringLiteral("Fertig hinzufügen: ") + f.bak(db)};
    if (withLogBackup)
        expected << QStringLiteral("Starte hinzufügen: ") + f.trn(db)
                 << QStringLiteral("Fertig hinzufügen: ") + f.trn(db);
    expected << QStringLiteral("ZIP-Datei geschlossen: ") + archive;
    if (!password.isEmpty())
        expected << QStringLiteral("ZIP-Datei mit AES-256 verschlüsselt: Lager3.ZIP");
    expected << QStringLiteral("ZIP-Datei erstellt für Datenbank: Lager / ") + archive
             << QStringLiteral("Kopieerstellung ZIP-FILE für Datenbank: Lager")
             << QStringLiteral("ZIP-Prozess abgeschlossen für Datenbank: Lager");
    QCOMPARE(f.log.lines, expected);
    QCOMPARE(f.processedAt, (QList<int>{1, 3, 6, int(expected.size())}));
    QCOMPARE(f.errors.value(), 0);
    QVERIFY(f.saved.isEmpty());

    QStringList names{QStringLiteral("Lager.BAK")};
    if (withLogBackup)
        names << QStringLiteral("Lager.TRN");
    if (password.isEmpty()) {
        const zipcheck::Listing zip = zipcheck::check(archive);
        QVERIFY2(zip.error.isEmpty(), qPrintable(zip.error));
        QCOMPARE(zipcheck::names(zip), names);
        QCOMPARE(zip.entries[0].crc, zipcheck::fileCrc(f.bak(db)));
    } else {
        QStringList encrypted;
        for (const QString& name : names)
            encrypted << name + QStringLiteral("|AES-256 Deflate|+");
        QCOMPARE(zipcheck::encryptionListing(archive), encrypted);
        const QString tested = zipcheck::testEncrypted(archive, password);
        QVERIFY2(tested.isEmpty(), qPrintable(tested));
        const QString out = f.copies.file(QStringLiteral("unpacked"));
        QVERIFY(zipcheck::extractEncrypted(archive, password, names[0], out).isEmpty());
        QCOMPARE(readAll(out), readAll(f.bak(db)));
        QFile::remove(out);
    }

    // Nothing but the backup files and the archive, in both folders.
    QStringList programFiles{QStringLiteral("Lager.BAK"), QStringLiteral("Lager3.ZIP")};
    if (withLogBackup)
        programFiles << QStringLiteral("Lager.TRN");
    programFiles.sort();
    QCOMPARE(listing(f.program.path()), programFiles);
    QCOMPARE(listing(f.copies.path()), QStringList{QStringLiteral("Lager3.ZIP")});
    QCOMPARE(readAll(f.copies.file(QStringLiteral("Lager3.ZIP"))), readAll(archive));
    QCOMPARE(QFileInfo(f.copies.file(QStringLiteral("Lager3.ZIP"))).lastModified(),
             QFileInfo(archive).lastModified());
}

void TestArchivePackager::emptyZipNameTakesDBName_data() {
    QTest::addColumn<QString>("zipName");
    QTest::addColumn<QString>("archiveName");
    QTest::addColumn<QStringList>("saved");
    QTest::newRow("empty: filled in and saved")
        << QString() << QStringLiteral("Lager7.ZIP") << QStringList{QStringLiteral("Lager")};
    QTest::newRow("given: kept, nothing saved")
        << QStringLiteral("Woche") << QStringLiteral("Woche7.ZIP") << QStringList();
}

void TestArchivePackager::emptyZipNameTakesDBName() {
    QFETCH(QString, zipName);
    QFETCH(QString, archiveName);
    QFETCH(QStringList, saved);
    Fixture f;
    f.clock.current = QDateTime(sunday, QTime(3, 0));
    f.write(f.bak(QStringLiteral("Lager")), rows(10, 1));
    BackupJob j = job(QStringLiteral("Lager"), zipName);

    const ArchiveLocation where = f.run(j, QString());

    QCOMPARE(f.saved, saved);
    QCOMPARE(j.ZIP_Dateiname, saved.isEmpty() ? zipName : saved.first());
    QCOMPARE(where.archiveName, archiveName);
    const zipcheck::Listing zip = zipcheck::check(f.program.file(archiveName));
    QVERIFY2(zip.error.isEmpty(), qPrintable(zip.error));
    QCOMPARE(zipcheck::names(zip), QStringList{QStringLiteral("Lager.BAK")});
    QCOMPARE(f.errors.value(), 0);
}

void TestArchivePackager::savingTheNameFailsEndsTheRun() {
    Fixture f;
    f.write(f.bak(QStringLiteral("Lager")), rows(10, 1));
    BackupJob j = job(QStringLiteral("Lager"));
    QVERIFY_THROWS_EXCEPTION(
        ProgramError,
        f.packager.zipprozess(
            j, QString(), QString(), f.bak(j.DBName), f.trn(j.DBName), [](const QString&) {
                throw ProgramError(QStringLiteral("Datensatz kann nicht gespeichert werden"));
            }));
    QCOMPARE(f.log.lines.size(), 2);
    QCOMPARE(f.errors.value(), 0);
    QCOMPARE(listing(f.program.path()), QStringList{QStringLiteral("Lager.BAK")});
}

void TestArchivePackager::dayTagIsTheIsoWeekday_data() {
    QTest::addColumn<QDate>("date");
    QTest::addColumn<QString>("archiveName");
    const char* names[] = {"Monday", "Tuesday",  "Wednesday", "Thursday",
                           "Friday", "Saturday", "Sunday"};
    for (int d = 0; d < 7; ++d)
        QTest::newRow(names[d]) << QDate(2026, 3, 9 + d)
                                << QStringLiteral("Lager%1.ZIP").arg(d + 1);
    QTest::newRow("leap day, Sunday") << QDate(2032, 2, 29) << QStringLiteral("Lager7.ZIP");
}

void TestArchivePackager::dayTagIsTheIsoWeekday() {
    QFETCH(QDate, date);
    QFETCH(QString, archiveName);
    Fixture f;
    f.clock.current = QDateTime(date, QTime(1, 0));
    BackupJob j = job(QStringLiteral("Lager"), QStringLiteral("Lager"));
    QCOMPARE(f.run(j, QString()).archiveName, archiveName);
}

void TestArchivePackager::runPastMidnight() {
    Fixture f;
    f.clock.current = QDateTime(sunday, QTime(23, 59, 59));
    f.write(f.bak(QStringLiteral("Lager")), rows(10, 1));
    f.write(f.bak(QStringLiteral("Kasse")), rows(10, 2));
    BackupJob first = job(QStringLiteral("Lager"), QStringLiteral("Lager"));
    BackupJob second = job(QStringLiteral("Kasse"), QStringLiteral("Kasse"));

    QCOMPARE(f.run(first, QString()).archiveName, QStringLiteral("Lager7.ZIP"));
    f.clock.current = QDateTime(sunday.addDays(1), QTime(0, 0, 1));
    QCOMPARE(f.run(second, QString()).archiveName, QStringLiteral("Kasse1.ZIP"));
    for (const QString& name : {QStringLiteral("Lager7.ZIP"), QStringLiteral("Kasse1.ZIP")}) {
        const zipcheck::Listing zip = zipcheck::check(f.program.file(name));
        QVERIFY2(zip.error.isEmpty(), qPrintable(zip.error));
    }
}

void TestArchivePackager::twoJobsShareOneZipName() {
    Fixture f;
    f.write(f.bak(QStringLiteral("Lager")), rows(100, 1));
    f.write(f.bak(QStringLiteral("Kasse")), rows(100, 2));
    BackupJob first = job(QStringLiteral("Lager"), QStringLiteral("Firma"));
    BackupJob second = job(QStringLiteral("Kasse"), QStringLiteral("Firma"));
    f.run(first, f.copies.path());
    f.run(second, f.copies.path());

    // The later job's archive replaces the earlier one's of the same day, in both folders.
    for (const QString& zipPath : {f.program.file(QStringLiteral("Firma3.ZIP")),
                                   f.copies.file(QStringLiteral("Firma3.ZIP"))}) {
        const zipcheck::Listing zip = zipcheck::check(zipPath);
        QVERIFY2(zip.error.isEmpty(), qPrintable(zip.error));
        QCOMPARE(zipcheck::names(zip), QStringList{QStringLiteral("Kasse.BAK")});
    }
    QCOMPARE(f.errors.value(), 0);
}

void TestArchivePackager::missingFullBackup() {
    Fixture f;
    // A log backup alone does not make an archive; last week's archive and its copy stay, and
    // no archive path goes to the upload.
    f.write(f.trn(QStringLiteral("Lager")), rows(10, 1));
    f.write(f.program.file(QStringLiteral("Lager3.ZIP")), "last week");
    f.write(f.copies.file(QStringLiteral("Lager3.ZIP")), "last week's copy");
    BackupJob j = job(QStringLiteral("Lager"), QStringLiteral("Lager"));

    const ArchiveLocation where = f.run(j, f.copies.path());

    QVERIFY(where.archivePath.isEmpty());
    QCOMPARE(where.archiveName, QStringLiteral("Lager3.ZIP"));
    QCOMPARE(f.log.lines,
             (QStringList{QStringLiteral("ZIP-Prozess beginnt für Datenbank: Lager"),
                          QStringLiteral("ZIP-Datei ist bestellt für Datenbank: Lager"),
                          QStringLiteral("Datei nicht gefunden: ") + f.bak(QStringLiteral("Lager")),
                          QStringLiteral("ZIP-Prozess abgeschlossen für Datenbank: Lager")}));
    QCOMPARE(f.errors.value(), 1);
    QCOMPARE(listing(f.program.path()),
             (QStringList{QStringLiteral("Lager.TRN"), QStringLiteral("Lager3.ZIP")}));
    QCOMPARE(readAll(f.program.file(QStringLiteral("Lager3.ZIP"))), QByteArray("last week"));
    QCOMPARE(readAll(f.copies.file(QStringLiteral("Lager3.ZIP"))), QByteArray("last week's copy"));
}

void TestArchivePackager::copySkipped_data() {
    QTest::addColumn<QString>("copyFolder"); // relative to the program folder; see below
    QTest::newRow("no copy folder") << QStringLiteral("<none>");
    QTest::newRow("copy folder missing") << QStringLiteral("<missing>");
    QTest::newRow("program folder, trailing separator") << QStringLiteral("<program>/");
    QTest::newRow("program folder, no trailing separator") << QStringLiteral("<program>");
    QTest::newRow("program folder, other spelling") << QStringLiteral("<program>/sub/..");
    QTest::newRow("link to the program folder") << QStringLiteral("<link>");
}

void TestArchivePackager::copySkipped() {
    QFETCH(QString, copyFolder);
    Fixture f;
    QString program = f.program.path();
    program.chop(1);
    QVERIFY(QDir().mkdir(program + QStringLiteral("/sub")));
    const QString link = f.copies.file(QStringLiteral("link"));
    QVERIFY(QFile::link(program, link));
    copyFolder.replace(QStringLiteral("<none>"), QString());
    copyFolder.replace(QStringLiteral("<missing>"), f.copies.file(QStringLiteral("fehlt")));
    copyFolder.replace(QStringLiteral("<program>"), program);
    copyFolder.replace(QStringLiteral("<link>"), link);

    f.write(f.bak(QStringLiteral("Lager")), rows(5000, 1));
    BackupJob j = job(QStringLiteral("Lager"), QStringLiteral("Lager"));
    f.run(j, copyFolder);

    QCOMPARE(f.errors.value(), 0);
    QVERIFY2(!f.log.lines.join(QLatin1Char('\n')).contains(QStringLiteral("Kopieerstellung")),
             qPrintable(f.log.lines.join(QLatin1Char('\n'))));
    QCOMPARE(f.log.lines.last(), QStringLiteral("ZIP-Prozess abgeschlossen für Datenbank: Lager"));
    QCOMPARE(f.log.lines.size(), 9);
    const zipcheck::Listing zip = zipcheck::check(f.program.file(QStringLiteral("Lager3.ZIP")));
    QVERIFY2(zip.error.isEmpty(), qPrintable(zip.error));
    QCOMPARE(listing(f.program.path()),
             (QStringList{QStringLiteral("Lager.BAK"), QStringLiteral("Lager3.ZIP"),
                          QStringLiteral("sub")}));
    QCOMPARE(listing(f.copies.path()), QStringList{QStringLiteral("link")});
}

void TestArchivePackager::existingCopyIsReplaced() {
    Fixture f;
    f.write(f.bak(QStringLiteral("Lager")), rows(3000, 1));
    const QString copy = f.copies.file(QStringLiteral("Lager3.ZIP"));
    f.write(copy, QByteArray(200000, 'x')); // last week's, longer than the new one
    BackupJob j = job(QStringLiteral("Lager"), QStringLiteral("Lager"));

    QVERIFY(!f.run(j, f.copies.path()).copyFailed);

    QCOMPARE(f.errors.value(), 0);
    QVERIFY(f.log.lines.contains(QStringLiteral("Kopieerstellung ZIP-FILE für Datenbank: Lager")));
    QCOMPARE(readAll(copy), readAll(f.program.file(QStringLiteral("Lager3.ZIP"))));
    QCOMPARE(listing(f.copies.path()), QStringList{QStringLiteral("Lager3.ZIP")});
}

void TestArchivePackager::copyFailure() {
    Fixture f;
    f.write(f.bak(QStringLiteral("Lager")), rows(3000, 1));
    // A folder standing at the copy target cannot be replaced by a file.
    const QString copyFolder = copyFolderNoSlash(f.copies);
    const QString target = copyFolder + QStringLiteral("/Lager3.ZIP");
    QVERIFY(QDir().mkpath(target + QStringLiteral("/inhalt")));
    BackupJob j = job(QStringLiteral("Lager"), QStringLiteral("Lager"));

    f.run(j, copyFolder);

    const QString archive = f.program.file(QStringLiteral("Lager3.ZIP"));
    QCOMPARE(
        f.log.lines.mid(f.log.lines.size() - 4),
        (QStringList{QStringLiteral("FEHLER bei Kopieerstellung ZIP-FILE für Datenbank: Lager"),
                     archive, target,
                     QStringLiteral("ZIP-Prozess abgeschlossen für Datenbank: Lager")}));
    QCOMPARE(f.errors.value(), 1);
    const zipcheck::Listing zip = zipcheck::check(archive);
    QVERIFY2(zip.error.isEmpty(), qPrintable(zip.error));
    QCOMPARE(listing(f.copies.path()), QStringList{QStringLiteral("Lager3.ZIP")});
    QVERIFY(QFileInfo(target).isDir());
}

void TestArchivePackager::failureHalfWay_data() {
    QTest::addColumn<int>("failIn"); // 0 full backup, 1 log backup, 2 central directory
    QTest::newRow("while adding the full backup") << 0;
    QTest::newRow("while adding the log backup") << 1;
    QTest::newRow("while closing the archive") << 2;
}

void TestArchivePackager::failureHalfWay() {
    QFETCH(int, failIn);
    Fixture f;
    const QString db = QStringLiteral("Lager");
    f.write(f.bak(db), noise(60000, 1));
    f.write(f.trn(db), noise(20000, 2));
    f.write(f.program.file(QStringLiteral("Lager3.ZIP")), "last week");

    // Where each part ends in a complete archive of the same files.
    QList<qint64> ends;
    {
        QBuffer whole;
        whole.open(QIODevice::WriteOnly);
        ZipWriter writer(whole, QStringLiteral("whole"));
        writer.addFile(f.bak(db));
        ends << whole.size();
        writer.addFile(f.trn(db));
        ends << whole.size();
        writer.close();
        ends << whole.size();
    }
    const qint64 start = failIn == 0 ? 0 : ends[failIn - 1];
    const qint64 budget = start + (ends[failIn] - start) / 2;
    f.packager.setOutputFilter(
        [budget](QIODevice& file) { return std::make_unique<FullDiskDevice>(file, budget); });
    BackupJob j = job(db, db);

    f.run(j, f.copies.path());

    const QString archive = f.program.file(QStringLiteral("Lager3.ZIP"));
    QStringList tail{QStringLiteral("Starte hinzufügen: ") + f.bak(db)};
    if (failIn > 0)
        tail << QStringLiteral("Fertig hinzufügen: ") + f.bak(db)
             << QStringLiteral("Starte hinzufügen: ") + f.trn(db);
    if (failIn > 1)
        tail << QStringLiteral("Fertig hinzufügen: ") + f.trn(db);
    tail << QStringLiteral("Datei kann nicht geschrieben werden: ") + archive +
                QStringLiteral(" (No space left on device)")
         << QStringLiteral("FEHLER bei ZIP-FILE Erstellung für Datenbank: Lager")
         << QStringLiteral("ZIP-Prozess abgeschlossen für Datenbank: Lager");
    QCOMPARE(f.log.lines.mid(4), tail);
    QCOMPARE(f.errors.value(), 1);
    // Last week's archive as it was, no partial one, and no temporary file left behind.
    QCOMPARE(listing(f.program.path()),
             (QStringList{QStringLiteral("Lager.BAK"), QStringLiteral("Lager.TRN"),
                          QStringLiteral("Lager3.ZIP")}));
    QCOMPARE(readAll(archive), QByteArray("last week"));
    QVERIFY(listing(f.copies.path()).isEmpty());
}

// A block that does not inflate back to what was read must never reach the archive: the
// packaging fails as on a write error and leaves neither the archive nor a temporary file.
void TestArchivePackager::damagedBlockFailsPackaging_data() {
    QTest::addColumn<int>("block"); // -1: the entry's last
    QTest::addColumn<int>("damage");
    QTest::newRow("a bit flipped in a middle block") << 2 << int(FlipBit);
    QTest::newRow("a bit flipped in the last block") << -1 << int(FlipBit);
    QTest::newRow("a block cut short by a byte") << 1 << int(CutShort);
    QTest::newRow("the first block's header zeroed") << 0 << int(ZeroHeader);
}

void TestArchivePackager::damagedBlockFailsPackaging() {
    QFETCH(int, block);
    QFETCH(int, damage);
    Fixture f;
    const QString db = QStringLiteral("Lager");
    const QByteArray bak = rows(20000, 1);
    f.write(f.bak(db), bak);
    f.write(f.trn(db), rows(500, 2));
    f.write(f.program.file(QStringLiteral("Lager3.ZIP")), "last week");
    DeflateOptions options;
    options.blockSize = 64 * 1024;
    options.threads = 3;
    const quint64 lastBlock = quint64(bak.size() - 1) / 65536;
    QVERIFY(lastBlock >= 3); // the last block is none of the others
    const quint64 target = block >= 0 ? quint64(block) : lastBlock;
    // The full backup's block is damaged; the log backup is never reached.
    options.damage = [target, damage](quint64 index, char* data, size_t& size) {
        if (index != target)
            return;
        if (damage == FlipBit)
            data[size / 2] ^= 0x10;
        else if (damage == CutShort)
            --size;
        else
            data[0] = 0;
    };
    f.packager.setDeflateOptions(options);
    BackupJob j = job(db, db);

    f.run(j, f.copies.path());

    const QString archive = f.program.file(QStringLiteral("Lager3.ZIP"));
    const QStringList tail = f.log.lines.mid(4);
    QCOMPARE(tail.size(), 4);
    QCOMPARE(tail[0], QStringLiteral("Starte hinzufügen: ") + f.bak(db));
    const QString failure = QStringLiteral("Fehler beim Komprimieren: ") + f.bak(db) +
                            QStringLiteral(" (Block %1 ").arg(target + 1);
    QVERIFY2(tail[1].startsWith(failure), qPrintable(tail[1]));
    QCOMPARE(tail[2], QStringLiteral("FEHLER bei ZIP-FILE Erstellung für Datenbank: Lager"));
    QCOMPARE(tail[3], QStringLiteral("ZIP-Prozess abgeschlossen für Datenbank: Lager"));
    QCOMPARE(f.errors.value(), 1);
    QCOMPARE(listing(f.program.path()),
             (QStringList{QStringLiteral("Lager.BAK"), QStringLiteral("Lager.TRN"),
                          QStringLiteral("Lager3.ZIP")}));
    QCOMPARE(readAll(archive), QByteArray("last week"));
    QVERIFY(listing(f.copies.path()).isEmpty());
}

// Something that cannot be deleted or replaced stands at the archive path: the archive cannot
// be created, which is reported like any other packaging failure.
void TestArchivePackager::archivePathBlocked() {
    Fixture f;
    f.write(f.bak(QStringLiteral("Lager")), rows(1000, 1));
    const QString archive = f.program.file(QStringLiteral("Lager3.ZIP"));
    QVERIFY(QDir().mkpath(archive + QStringLiteral("/inhalt")));
    BackupJob j = job(QStringLiteral("Lager"), QStringLiteral("Lager"));

    f.run(j, f.copies.path());

    QCOMPARE(f.log.lines.size(), 6);
    QCOMPARE(f.log.lines[3], QStringLiteral("Datei kann nicht geschrieben werden: ") + archive +
                                 QStringLiteral(" (Filename refers to a directory)"));
    QCOMPARE(f.log.lines[4], QStringLiteral("FEHLER bei ZIP-FILE Erstellung für Datenbank: Lager"));
    QCOMPARE(f.errors.value(), 1);
    QCOMPARE(listing(f.program.path()),
             (QStringList{QStringLiteral("Lager.BAK"), QStringLiteral("Lager3.ZIP")}));
    QVERIFY(QFileInfo(archive).isDir());
    QVERIFY(listing(f.copies.path()).isEmpty());
}

void TestArchivePackager::linkInPlaceOfAnArchive_data() {
    QTest::addColumn<bool>("inCopyFolder");
    QTest::addColumn<bool>("dangling");
    QTest::newRow("archive, to a file") << false << false;
    QTest::newRow("archive, to nothing yet") << false << true;
    QTest::newRow("copy, to a file") << true << false;
    QTest::newRow("copy, to nothing yet") << true << true;
}

// A symbolic link planted under an archive's name (in the program folder or the copy folder)
// is never written through: the link goes, what it points to stays as it was, the log names the
// file, and tonight's archive and copy take the name.
void TestArchivePackager::linkInPlaceOfAnArchive() {
    QFETCH(bool, inCopyFolder);
    QFETCH(bool, dangling);
    Fixture f;
    TempFolder elsewhere;
    f.write(f.bak(QStringLiteral("Lager")), rows(1000, 1));
    const QString target = elsewhere.file(QStringLiteral("fremd"));
    if (!dangling)
        f.write(target, "unberührt");
    const QString archive = f.program.file(QStringLiteral("Lager3.ZIP"));
    const QString copy = f.copies.file(QStringLiteral("Lager3.ZIP"));
    const QString link = inCopyFolder ? copy : archive;
    QVERIFY(QFile::link(target, link));
    BackupJob j = job(QStringLiteral("Lager"), QStringLiteral("Lager"));

    f.run(j, copyFolderNoSlash(f.copies));

    QCOMPARE(f.errors.value(), 0);
    QVERIFY2(f.log.lines.contains(NoFollowFile::removedLink(link)),
             qPrintable(f.log.lines.join('\n')));
    QCOMPARE(QFileInfo::exists(target), !dangling);
    if (!dangling)
        QCOMPARE(readAll(target), QByteArray("unberührt"));
    QCOMPARE(listing(elsewhere.path()), dangling ? QStringList() : QStringList{"fremd"});
    QVERIFY(!NoFollowFile::isSymLink(archive));
    QVERIFY(!NoFollowFile::isSymLink(copy));
    QVERIFY(zipcheck::check(archive).error.isEmpty());
    QCOMPARE(readAll(copy), readAll(archive));
}

// A backup file that shrinks or grows while it is read would give an entry that passes every
// check of the archive yet is not the backup: packaging fails instead.
void TestArchivePackager::backupChangingWhilePacked_data() {
    QTest::addColumn<qint64>("newSize");
    QTest::newRow("shrinks") << qint64(300000);
    QTest::newRow("grows") << qint64(1500000);
}

void TestArchivePackager::backupChangingWhilePacked() {
    QFETCH(qint64, newSize);
    Fixture f;
    const QString db = QStringLiteral("Lager");
    f.write(f.bak(db), noise(1000000, 3));
    const QString bak = f.bak(db);
    f.packager.setOutputFilter([bak, newSize](QIODevice& file) {
        return std::make_unique<ChangingSource>(file,
                                                [bak, newSize] { QFile::resize(bak, newSize); });
    });
    BackupJob j = job(db, db);

    f.run(j, f.copies.path());

    const QStringList failures =
        f.log.lines.filter(QStringLiteral("Datei hat sich beim Lesen verändert"));
    QCOMPARE(failures.size(), 1);
    QVERIFY(failures.first().startsWith(QStringLiteral("Datei kann nicht gelesen werden: ") + bak));
    QVERIFY(f.log.lines.contains(
        QStringLiteral("FEHLER bei ZIP-FILE Erstellung für Datenbank: Lager")));
    QCOMPARE(f.errors.value(), 1);
    QVERIFY(!QFileInfo::exists(f.program.file(QStringLiteral("Lager3.ZIP"))));
    QVERIFY(listing(f.copies.path()).isEmpty());
}

// The copy folder fills up while the last piece of the copy is still in the write buffer: the
// copy must count as failed and leave nothing behind, not a short archive under the full name.
void TestArchivePackager::copyCutShort() {
    Fixture f;
    const QString db = QStringLiteral("Lager");
    // Just over one copy chunk (1 MiB), so the tail of the copy is written by the final flush.
    f.write(f.bak(db), noise(1024 * 1024 + 5000, 4));
    const QString archive = f.program.file(QStringLiteral("Lager3.ZIP"));
    const QString target = f.copies.file(QStringLiteral("Lager3.ZIP"));

    rlimit original{};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &original), 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN); // a failed write, not a signal
    const auto restoreLimits = [&] {
        setrlimit(RLIMIT_FSIZE, &original);
        std::signal(SIGXFSZ, previousHandler);
    };
    auto restore = qScopeGuard(restoreLimits);
    // Once the archive is complete, files of this process may no longer reach its size.
    f.log.onEntry = [&](const QString& line) {
        if (!line.startsWith(QStringLiteral("ZIP-Datei erstellt für Datenbank: ")))
            return;
        rlimit limited = original;
        limited.rlim_cur = rlim_t(QFileInfo(archive).size() - 2000);
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &limited), 0);
    };
    BackupJob j = job(db, db);

    f.run(j, copyFolderNoSlash(f.copies));
    restore.dismiss();
    restoreLimits();

    QCOMPARE(
        f.log.lines.mid(f.log.lines.size() - 4),
        (QStringList{QStringLiteral("FEHLER bei Kopieerstellung ZIP-FILE für Datenbank: Lager"),
                     archive, target,
                     QStringLiteral("ZIP-Prozess abgeschlossen für Datenbank: Lager")}));
    QCOMPARE(f.errors.value(), 1);
    QVERIFY(listing(f.copies.path()).isEmpty());
    const zipcheck::Listing zip = zipcheck::check(archive);
    QVERIFY2(zip.error.isEmpty(), qPrintable(zip.error));
}

// The disk reports an error for what it was given (the sync fails): neither the archive nor its
// copy counts as made, and what stood there from last week stays.
void TestArchivePackager::diskReportsAnError_data() {
    QTest::addColumn<bool>("copyFails"); // false: the archive itself
    QTest::newRow("the archive") << false;
    QTest::newRow("the copy") << true;
}

void TestArchivePackager::diskReportsAnError() {
    QFETCH(bool, copyFails);
    Fixture f;
    const QString db = QStringLiteral("Lager");
    f.write(f.bak(db), rows(3000, 1));
    const QString archive = f.program.file(QStringLiteral("Lager3.ZIP"));
    const QString target = f.copies.file(QStringLiteral("Lager3.ZIP"));
    f.write(archive, "last week");
    f.write(target, "last week's copy");
    BackupJob j = job(db, db);

    syncFailsUnder = copyFails ? f.copies.path() : f.program.path();
    const ArchiveLocation where = f.run(j, copyFolderNoSlash(f.copies));
    syncFailsUnder.clear();

    QStringList tail;
    if (copyFails) {
        tail << QStringLiteral("FEHLER bei Kopieerstellung ZIP-FILE für Datenbank: Lager")
             << archive << target;
    } else {
        tail << QStringLiteral("Datei kann nicht geschrieben werden: ") + archive +
                    QStringLiteral(" (Input/output error)")
             << QStringLiteral("FEHLER bei ZIP-FILE Erstellung für Datenbank: Lager");
    }
    tail << QStringLiteral("ZIP-Prozess abgeschlossen für Datenbank: Lager");
    QCOMPARE(f.log.lines.mid(f.log.lines.size() - tail.size()), tail);
    QCOMPARE(f.errors.value(), 1);
    QCOMPARE(where.archivePath.isEmpty(), !copyFails);
    // Last week's copy is no copy of tonight's archive: the run is told.
    QCOMPARE(where.copyFailed, copyFails);
    QCOMPARE(listing(f.copies.path()), QStringList{QStringLiteral("Lager3.ZIP")});
    QCOMPARE(readAll(target), QByteArray("last week's copy"));
    QCOMPARE(listing(f.program.path()),
             (QStringList{QStringLiteral("Lager.BAK"), QStringLiteral("Lager3.ZIP")}));
    if (copyFails) {
        const zipcheck::Listing zip = zipcheck::check(archive);
        QVERIFY2(zip.error.isEmpty(), qPrintable(zip.error));
    } else {
        QCOMPARE(readAll(archive), QByteArray("last week"));
    }
}


// The backup files lie where SQL Server's account writes. A link it planted there in place of
// one of them (to the settings file, say) must never bring what it points to into an archive
// that leaves the machine: such a file is not packed and counts; a refused log backup leaves
// the full backup alone in the archive.
void TestArchivePackager::backupFilesAreReadAsTheyAre_data() {
    QTest::addColumn<bool>("logBackup"); // the .TRN is the link, not the .BAK
    QTest::newRow("link as the full backup") << false;
    QTest::newRow("link as the log backup") << true;
}

void TestArchivePackager::backupFilesAreReadAsTheyAre() {
    QFETCH(bool, logBackup);
    Fixture f;
    TempFolder elsewhere;
    const QString db = QStringLiteral("Lager");
    const QByteArray secret = "root:geheimes-Kennwort-des-Rechners";
    const QString secretFile = elsewhere.file(QStringLiteral("shadow"));
    f.write(secretFile, secret);
    const QString planted = logBackup ? f.trn(db) : f.bak(db);
    if (logBackup)
        f.write(f.bak(db), rows(1000, 1));
    QVERIFY(QFile::link(secretFile, planted));
    f.write(f.program.file(QStringLiteral("Lager3.ZIP")), "last week");
    BackupJob j = job(db, db);

    const ArchiveLocation where = f.run(j, QString());

    QVERIFY2(f.log.lines.contains(NoFollowFile::refusal(planted)),
             qPrintable(f.log.lines.join('\n')));
    QCOMPARE(f.errors.value(), 1);
    const QString archive = f.program.file(QStringLiteral("Lager3.ZIP"));
    if (logBackup) {
        QCOMPARE(where.archivePath, archive);
        const zipcheck::Listing listing = zipcheck::check(archive);
        QVERIFY2(listing.error.isEmpty(), qPrintable(listing.error));
        QCOMPARE(listing.entries.size(), 1);
        QCOMPARE(listing.entries.first().name, QStringLiteral("Lager.BAK"));
    } else {
        QVERIFY(where.archivePath.isEmpty());
        QVERIFY(f.log.lines.contains(
            QStringLiteral("FEHLER bei ZIP-FILE Erstellung für Datenbank: Lager")));
        QCOMPARE(readAll(archive), QByteArray("last week"));
    }
    QCOMPARE(readAll(secretFile), secret);
}

// The archives and their copies hold the databases: they are the owner's alone whatever the
// umask the program was started with, and last week's archive or copy with a wider mode does
// not hand its mode on to tonight's.
void TestArchivePackager::archivesArePrivate_data() {
    QTest::addColumn<bool>("lastWeek");
    QTest::newRow("new archive and copy") << false;
    QTest::newRow("last week's open to all") << true;
}

void TestArchivePackager::archivesArePrivate() {
    QFETCH(bool, lastWeek);
    Fixture f;
    const QString db = QStringLiteral("Lager");
    f.write(f.bak(db), rows(1000, 1));
    const QString archive = f.program.file(QStringLiteral("Lager3.ZIP"));
    const QString copy = f.copies.file(QStringLiteral("Lager3.ZIP"));
    if (lastWeek) {
        for (const QString& old : {archive, copy}) {
            f.write(old, "last week");
            QVERIFY(QFile::setPermissions(old, QFile::Permissions(0x6666)));
        }
    }
    BackupJob j = job(db, db);

    const mode_t caller = ::umask(0);
    const ArchiveLocation where = f.run(j, f.copies.path());
    ::umask(caller);

    QCOMPARE(where.archivePath, archive);
    QCOMPARE(f.errors.value(), 0);
    for (const QString& made : {archive, copy}) {
        struct stat st {};
        QCOMPARE(::stat(QFile::encodeName(made).constData(), &st), 0);
        QCOMPARE(st.st_mode & 07777, mode_t(0600));
    }
}

QTEST_GUILESS_MAIN(TestArchivePackager)
#include "tst_archivepackager.moc"
