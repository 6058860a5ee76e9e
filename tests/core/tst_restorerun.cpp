// The restore run's policy over fake steps: what a request may restore over, the lines and the
// count of each outcome, a test's scratch database dropped whatever happened, and the note that
// tells a scratch database this program left behind from one it did not make.

#include "MemoryLog.h"
#include "TempFolder.h"
#include "core/RestoreRun.h"
#include "platform/ErrorCount.h"
#include "platform/ProgramError.h"
#include "settings/Dataset.h"

#include <QTest>

namespace {

// The settings with one job, Lager, and steps that record what they are asked and fail where
// told.
struct Fixture : SettingsStore, RestoreSteps {
    TempFolder folder;
    MemoryLog log;
    ErrorCount errors;
    Dataset rows;
    BackupFolders folders{QStringLiteral("/srv/sicherung/"), QStringLiteral("D:\\Backup\\")};
    QStringList calls;
    QStringList existing; // databases on the server
    QString failsAt;      // the step that throws
    ProgramParts parts;
    RestoreRun run;

    Fixture() : run(log, errors, partsOf(this), folder.path() + QLatin1Char('/')) {}

    ProgramParts& partsOf(Fixture* f) {
        parts.settings = f;
        parts.restore = f;
        return parts;
    }
    void step(const QString& name) {
        calls << name;
        if (name.startsWith(failsAt) && !failsAt.isEmpty())
            throw ProgramError(QStringLiteral("Meldung von ") + name);
    }

    QList<BackupJob> jobsForRun() override {
        BackupJob j;
        j.DBName = QStringLiteral("Lager");
        j.DBServer = QStringLiteral("sql01");
        return {j};
    }
    GeneralSettings generalSettings() override { return {}; }
    bool fileExists() const override { return true; }
    bool connected() const override { return true; }
    bool create() override { return true; }
    void checkdatabase() override {}
    void storeZipName(const BackupJob&, const QString&) override {}
    BackupJob currentJob() override { return {}; }
    void postPendingChanges() override {}
    Dataset& jobRows() override { return rows; }
    Dataset& generalRows() override { return rows; }

    RestoreArchive findArchive(const BackupJob&, const QString&, int weekday,
                               RestoreFrom) override {
        step(QStringLiteral("find %1").arg(weekday));
        return {QStringLiteral("/tmp/Lager3.ZIP"), QStringLiteral("Lager3.ZIP"), false};
    }
    UnpackedBackup unpack(const RestoreArchive&, const BackupJob&, const QString&,
                          const BackupFolders&, const QString& target) override {
        step(QStringLiteral("unpack ") + target);
        return {QStringLiteral("a.BAK"), QStringLiteral("a.TRN"), QStringLiteral("s.BAK"),
                QStringLiteral("s.TRN")};
    }
    void discard(const RestoreArchive&, const UnpackedBackup& files) override {
        calls << QStringLiteral("discard ") + files.fullBackup;
    }
    bool databaseExists(const BackupJob&, const QString& name) override {
        step(QStringLiteral("exists ") + name);
        return existing.contains(name);
    }
    void restore(const BackupJob&, const UnpackedBackup&, const QString& target,
                 bool replace) override {
        step(QStringLiteral("restore ") + target + (replace ? QStringLiteral(" replace") : ""));
        existing << target;
    }
    void checkDatabase(const BackupJob&, const QString& target) override {
        step(QStringLiteral("check ") + target);
    }
    void dropDatabase(const BackupJob&, const QString& target) override {
        step(QStringLiteral("drop ") + target);
        existing.removeAll(target);
    }
};

const QString kScratch = QStringLiteral("Lager_Wiederherstellungstest");

RestoreRequest request(const QString& args) {
    RestoreRequest r;
    r.job = QStringLiteral("Lager");
    for (const QString& a : args.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (a == QLatin1String("test"))
            r.test = true;
        else if (a == QLatin1String("replace"))
            r.replace = true;
        else if (a.startsWith(QLatin1String("as=")))
            r.as = a.mid(3);
        else if (a.startsWith(QLatin1String("day=")))
            r.weekday = a.mid(4).toInt();
        else if (a.startsWith(QLatin1String("unpack=")))
            r.unpackTo = a.mid(7);
        else if (a.startsWith(QLatin1String("job=")))
            r.job = a.mid(4);
    }
    return r;
}

} // namespace

class TestRestoreRun : public QObject {
    Q_OBJECT

private slots:
    void outcomes_data();
    void outcomes();
    void leftScratchIsDroppedFirst();
};

void TestRestoreRun::outcomes_data() {
    QTest::addColumn<QString>("args");
    QTest::addColumn<QStringList>("existing");
    QTest::addColumn<QString>("failsAt");
    QTest::addColumn<int>("outcome");
    QTest::addColumn<QStringList>("calls");
    QTest::addColumn<QString>("lastLine");
    const QString restoreFailed = QStringLiteral("FEHLER bei der Wiederherstellung für Datenbank: Lager");
    const QString testFailed = QStringLiteral("FEHLER beim Wiederherstellungstest für Datenbank: Lager");
    const QStringList none;

    QTest::newRow("test")
        << "test" << none << QString() << 0
        << QStringList{"find 0", "unpack ", "exists " + kScratch, "restore " + kScratch,
                       "check " + kScratch, "drop " + kScratch, "discard a.BAK"}
        << QStringLiteral("Wiederherstellungstest erfolgreich für Datenbank: Lager");
    QTest::newRow("test, check fails: dropped all the same")
        << "test" << none << "check" << 1
        << QStringList{"find 0", "unpack ", "exists " + kScratch, "restore " + kScratch,
                       "check " + kScratch, "drop " + kScratch, "discard a.BAK"}
        << testFailed;
    QTest::newRow("test, restore fails: dropped all the same")
        << "test" << none << "restore" << 1
        << QStringList{"find 0", "unpack ", "exists " + kScratch, "restore " + kScratch,
                       "drop " + kScratch, "discard a.BAK"}
        << testFailed;
    QTest::newRow("test, a database of that name the program did not make")
        << "test" << QStringList{kScratch} << QString() << 1
        << QStringList{"find 0", "unpack ", "exists " + kScratch, "discard a.BAK"} << testFailed;
    QTest::newRow("test, archive unreadable: nothing on the server")
        << "test" << none << "unpack" << 1 << QStringList{"find 0", "unpack ", "discard "}
        << testFailed;
    QTest::newRow("as another database")
        << "as=Lager_alt day=5" << none << QString() << 0
        << QStringList{"find 5", "unpack ", "exists Lager_alt", "restore Lager_alt",
                       "check Lager_alt", "discard a.BAK"}
        << QStringLiteral("Integritätsprüfung nach Wiederherstellung erfolgreich für Datenbank: "
                          "Lager");
    QTest::newRow("as an existing database without replace")
        << "as=Lager_alt" << QStringList{"Lager_alt"} << QString() << 1
        << QStringList{"find 0", "unpack ", "exists Lager_alt", "discard a.BAK"} << restoreFailed;
    QTest::newRow("as an existing database, replace")
        << "as=Lager_alt replace" << QStringList{"Lager_alt"} << QString() << 0
        << QStringList{"find 0", "unpack ", "exists Lager_alt", "restore Lager_alt replace",
                       "check Lager_alt", "discard a.BAK"}
        << QStringLiteral("Integritätsprüfung nach Wiederherstellung erfolgreich für Datenbank: "
                          "Lager");
    QTest::newRow("own database, replace")
        << "replace" << QStringList{"Lager"} << QString() << 0
        << QStringList{"find 0", "unpack ", "exists Lager", "restore Lager replace",
                       "check Lager", "discard a.BAK"}
        << QStringLiteral("Integritätsprüfung nach Wiederherstellung erfolgreich für Datenbank: "
                          "Lager");
    QTest::newRow("unpack only: the files stay, nothing on the server")
        << "unpack=/srv/hand" << none << QString() << 0
        << QStringList{"find 0", "unpack /srv/hand", "discard "}
        << QStringLiteral("Archiv geprüft für Datenbank: Lager");
    QTest::newRow("no archive") << "as=X" << none << "find" << 1
                                << QStringList{"find 0", "discard "} << restoreFailed;
    // Wrong requests: nothing is touched, nothing counted.
    QTest::newRow("own database without replace") << "" << none << QString() << 2 << none << "";
    QTest::newRow("as the own database without replace")
        << "as=Lager" << none << QString() << 2 << none << "";
    QTest::newRow("unknown job") << "job=Buch test" << none << QString() << 2 << none << "";
    QTest::newRow("weekday 8") << "day=8 test" << none << QString() << 2 << none << "";
    QTest::newRow("test into a named database")
        << "test as=X" << none << QString() << 2 << none << "";
}

void TestRestoreRun::outcomes() {
    QFETCH(QString, args);
    QFETCH(QStringList, existing);
    QFETCH(QString, failsAt);
    QFETCH(int, outcome);
    QFETCH(QStringList, calls);
    QFETCH(QString, lastLine);
    Fixture f;
    f.existing = existing;
    f.failsAt = failsAt;
    f.errors.add(4); // counted before: a restore adds to it, never resets it
    QCOMPARE(int(f.run.run(request(args), f.folders)), outcome);
    QCOMPARE(f.calls, calls);
    QCOMPARE(f.errors.value(), 4 + (outcome == 1 ? 1 : 0));
    if (outcome == 2) {
        QCOMPARE(f.log.lines.size(), 1);
        QVERIFY2(f.log.lines.first().startsWith(QStringLiteral("FEHLER: ")),
                 qPrintable(f.log.lines.first()));
        return;
    }
    QCOMPARE(f.log.lines.first(),
             QStringLiteral("Wiederherstellung gestartet für Datenbank: Lager"));
    QCOMPARE(f.log.lines.last(), lastLine);
    if (!failsAt.isEmpty())
        QVERIFY(f.log.lines.contains(QStringLiteral("Meldung von ") +
                                     calls.filter(failsAt).first()));
    // A scratch database never outlives its test.
    QVERIFY(!f.existing.contains(kScratch) || existing.contains(kScratch));
}

// A test killed in the middle left its scratch database: the next test finds it in the
// program's note, drops it with a line, and tests as usual.
void TestRestoreRun::leftScratchIsDroppedFirst() {
    Fixture f;
    // The first test makes the database, then the drop fails as a kill would leave it.
    f.failsAt = QStringLiteral("drop");
    QCOMPARE(int(f.run.run(request(QStringLiteral("test")), f.folders)), 1);
    QVERIFY(f.existing.contains(kScratch));
    f.calls.clear();
    f.log.lines.clear();
    f.failsAt.clear();
    QCOMPARE(int(f.run.run(request(QStringLiteral("test")), f.folders)), 0);
    QCOMPARE(f.calls,
             (QStringList{"find 0", "unpack ", "exists " + kScratch, "drop " + kScratch,
                          "restore " + kScratch, "check " + kScratch, "drop " + kScratch,
                          "discard a.BAK"}));
    QVERIFY(f.log.lines.contains(
        QStringLiteral("Die Testdatenbank %1 eines abgebrochenen Tests wird gelöscht für "
                       "Datenbank: Lager")
            .arg(kScratch)));
    QVERIFY(!f.existing.contains(kScratch));
    // Dropped and noted as gone: a database of that name made by someone else later is never
    // taken for the program's own.
    f.existing << kScratch;
    f.calls.clear();
    QCOMPARE(int(f.run.run(request(QStringLiteral("test")), f.folders)), 1);
    QVERIFY(!f.calls.contains("drop " + kScratch));
    QVERIFY(f.existing.contains(kScratch));
}

QTEST_GUILESS_MAIN(TestRestoreRun)
#include "tst_restorerun.moc"
