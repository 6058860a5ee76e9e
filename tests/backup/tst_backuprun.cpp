#include "backup/BackupRun.h"
#include "settings/Dataset.h"
#include "platform/ErrorCount.h"
#include "MemoryLog.h"
#include "platform/ProgramError.h"
#include "settings/SettingsDatabase.h"
#include "TempFolder.h"

#include <QTest>

#include <sqlcipher/sqlite3.h>

namespace {
struct JobRow {
    QString name;
    bool ftp = false;
};

// A settings file with the given jobs and a run whose steps record what they are asked to do.
struct Fixture {
    TempFolder folder;
    MemoryLog log;
    MemoryLog settingsLog;
    ErrorCount errors;
    SettingsDatabase settings{settingsLog, folder.path()};
    QStringList calls;
    int uploadCalls = 0;
    int uploadSucceedsOnCall = 0; // 0: never
    std::function<void(const BackupJob&)> duringArbeitsprozess;
    BackupRun run{log, errors, settings.queryDatenbanken, steps()};

    explicit Fixture(const QList<JobRow>& jobs) {
        if (!SettingsDatabase::CreateAccessDatabase(settings.databasePath()))
            qFatal("settings file not created");
        settings.checkdatabase();
        // Rows written directly, as another tool might have left them (an empty name included).
        int n = 0;
        for (const JobRow& j : jobs) {
            const QByteArray sql = QStringLiteral("INSERT INTO sqldatenbanken (DBName, DBServer, DBBenutzer, "
                                                  "DBPasswort, FTP_aktiv) VALUES ('%1', 'srv%2', 'sa', 'pw', %3)")
                                       .arg(j.name).arg(++n).arg(j.ftp ? 1 : 0)
                                       .toUtf8();
            if (sqlite3_exec(settings.ADOConnection1.handle(), sql.constData(), nullptr, nullptr, nullptr) !=
                SQLITE_OK)
                qFatal("job row not written");
        }
        settings.queryDatenbanken.close();
        settings.queryDatenbanken.open();
    }

    BackupRun::Steps steps() {
        BackupRun::Steps s;
        s.arbeitsprozess = [this](const BackupJob& job) {
            calls << QStringLiteral("arbeitsprozess ") + job.DBName;
            if (duringArbeitsprozess)
                duringArbeitsprozess(job);
        };
        s.zipprozess = [this](const BackupJob& job) {
            calls << QStringLiteral("zipprozess ") + job.DBName;
            return ArchiveLocation{folder.file(job.DBName + QStringLiteral("3.ZIP")), job.DBName + QStringLiteral("3.ZIP")};
        };
        s.ftphochladen = [this](const QString& path, const QString& name) {
            ++uploadCalls;
            calls << QStringLiteral("ftphochladen ") + name;
            Q_UNUSED(path);
            return uploadCalls == uploadSucceedsOnCall;
        };
        return s;
    }
};
} // namespace

QStringList abortedRunLines(int count) {
    return {QStringLiteral("FEHLER: Verarbeitung abgebrochen"), QStringLiteral("Fehleranzahl: %1").arg(count)};
}

class TestBackupRun : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void emptyJobListLogsOnlyTheClosingLines() {
        Fixture f({});
        f.errors.add(5); // left over from an earlier run
        f.run.btnStartClick();
        QCOMPARE(f.log.lines, (QStringList{QStringLiteral("Verarbeitung abgeschlossen"),
                                           QStringLiteral("Fehleranzahl: 0")}));
        QVERIFY(f.calls.isEmpty());
    }

    void everyJobInTurnAndEmptyNamesSkipped() {
        Fixture f({{QStringLiteral("Lager")}, {QString()}, {QStringLiteral("Kasse")}});
        f.run.btnStartClick();
        QCOMPARE(f.calls, (QStringList{QStringLiteral("arbeitsprozess Lager"), QStringLiteral("zipprozess Lager"),
                                       QStringLiteral("arbeitsprozess Kasse"), QStringLiteral("zipprozess Kasse")}));
        QCOMPARE(f.log.lines,
                 (QStringList{QStringLiteral("FTP-Prozess beginnt für Datenbank: Lager"),
                              QStringLiteral("FTP-Prozess nicht gewünscht für Datenbank: Lager"),
                              QStringLiteral("FTP-Prozess abgeschlossen für Datenbank: Lager"),
                              QStringLiteral("FTP-Prozess beginnt für Datenbank: Kasse"),
                              QStringLiteral("FTP-Prozess nicht gewünscht für Datenbank: Kasse"),
                              QStringLiteral("FTP-Prozess abgeschlossen für Datenbank: Kasse"),
                              QStringLiteral("Verarbeitung abgeschlossen"), QStringLiteral("Fehleranzahl: 0")}));
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
        f.run.btnStartClick();
        QCOMPARE(f.calls.contains(QStringLiteral("zipprozess Lager")), packs);
        QCOMPARE(f.uploadCalls > 0, packs);
        const QString nozipLine =
            QStringLiteral("Programmstartparameter nozip gesetzt, kein ZIP- und FTP-Prozess ausgeführt: Kasse");
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
        f.run.btnStartClick();
        QCOMPARE(f.uploadCalls, expectedCalls);
        QCOMPARE(f.calls.filter(QStringLiteral("ftphochladen Lager3.ZIP")).size(), expectedCalls);
        QCOMPARE(f.errors.value(), expectedErrors);
        QCOMPARE(f.log.lines.last(), QStringLiteral("Fehleranzahl: %1").arg(expectedErrors));
        // No line of the run between the attempts.
        QCOMPARE(f.log.lines.mid(0, 2), (QStringList{QStringLiteral("FTP-Prozess beginnt für Datenbank: Lager"),
                                                     QStringLiteral("FTP-Prozess abgeschlossen für Datenbank: Lager")}));
    }

    // Each attempt that finds no archive counts by itself; the run adds one when none worked.
    void missingArchiveCountsEveryAttemptAndOnce() {
        Fixture f({{QStringLiteral("Lager"), true}});
        f.run.setSteps([&] {
            BackupRun::Steps s = f.steps();
            s.ftphochladen = [&](const QString& path, const QString&) {
                ++f.uploadCalls;
                if (!QFileInfo::exists(path))
                    f.errors.add(1);
                return false;
            };
            return s;
        }());
        f.run.btnStartClick();
        QCOMPARE(f.uploadCalls, 10);
        QCOMPARE(f.errors.value(), 11);
    }

    void secondRunStartsFromZero() {
        Fixture f({{QStringLiteral("Lager"), true}});
        f.run.btnStartClick();
        QCOMPARE(f.errors.value(), 1);
        f.uploadCalls = 0;
        f.uploadSucceedsOnCall = 1;
        f.run.btnStartClick();
        QCOMPARE(f.errors.value(), 0);
        QCOMPARE(f.log.lines.last(), QStringLiteral("Fehleranzahl: 0"));
    }

    void startWhileRunningIsRefused() {
        Fixture f({{QStringLiteral("Lager")}, {QStringLiteral("Kasse")}});
        f.duringArbeitsprozess = [&](const BackupJob& job) {
            if (job.DBName == QLatin1String("Lager")) {
                QVERIFY(f.run.isRunning());
                f.run.btnStartClick(); // a click on the start button in the middle of the run
            }
        };
        f.run.btnStartClick();
        QCOMPARE(f.calls, (QStringList{QStringLiteral("arbeitsprozess Lager"), QStringLiteral("zipprozess Lager"),
                                       QStringLiteral("arbeitsprozess Kasse"), QStringLiteral("zipprozess Kasse")}));
        QCOMPARE(f.log.lines.first(),
                 QStringLiteral("Sicherung läuft bereits, ein weiterer Start wird nicht ausgeführt"));
        QCOMPARE(f.log.lines.count(QStringLiteral("Verarbeitung abgeschlossen")), 1);
        QVERIFY(!f.run.isRunning());
    }

    void pendingEditIsStoredBeforeTheRun() {
        Fixture f({{QStringLiteral("Lager")}});
        Dataset& ds = f.settings.queryDatenbanken;
        ds.first();
        ds.edit();
        ds.setValue(QStringLiteral("DBServer"), QStringLiteral("neuerserver"));
        QString server;
        f.duringArbeitsprozess = [&](const BackupJob& job) { server = job.DBServer; };
        f.run.btnStartClick();
        QCOMPARE(server, QStringLiteral("neuerserver"));
        QCOMPARE(ds.state(), DatasetState::Browse);
    }

    // The refused store is not reported by itself; moving to the first job stores again, and that
    // refusal ends the run with the table's message. What was typed stays pending, nothing is lost.
    // A run that cannot go on is logged and counted, so the report does not read as a clean night.
    void refusedPendingEditEndsTheRunWithItsMessage() {
        Fixture f({{QStringLiteral("Lager")}});
        Dataset& ds = f.settings.queryDatenbanken;
        ds.first();
        ds.edit();
        ds.setValue(QStringLiteral("DBServer"), QString()); // required: the store is refused
        f.run.btnStartClick();
        QVERIFY(f.calls.isEmpty());
        QCOMPARE(f.log.lines.size(), 3);
        QVERIFY(f.log.lines[0].contains(QStringLiteral("DBServer")));
        QCOMPARE(f.log.lines.mid(1), abortedRunLines(1));
        QCOMPARE(ds.state(), DatasetState::Edit);
        QVERIFY(!f.run.isRunning());
    }

    // Storing a filled-in archive name fails: the run ends there, without its closing lines.
    void failureOutsideTheGuardedStepsEndsTheRun() {
        Fixture f({{QStringLiteral("Lager")}, {QStringLiteral("Kasse")}});
        f.run.setSteps([&] {
            BackupRun::Steps s = f.steps();
            s.zipprozess = [](const BackupJob&) -> ArchiveLocation {
                throw ProgramError(QStringLiteral("Datensatz kann nicht gespeichert werden"));
            };
            return s;
        }());
        f.run.btnStartClick();
        QVERIFY(!f.log.lines.contains(QStringLiteral("Verarbeitung abgeschlossen")));
        QCOMPARE(f.log.lines.mid(f.log.lines.size() - 3),
                 QStringList{QStringLiteral("Datensatz kann nicht gespeichert werden")} + abortedRunLines(1));
        QCOMPARE(f.errors.value(), 1);
        QVERIFY(!f.calls.contains(QStringLiteral("arbeitsprozess Kasse")));
        QVERIFY(!f.run.isRunning());
    }

    void unreadableJobListEndsTheRunCounted() {
        Fixture f({{QStringLiteral("Lager")}});
        f.settings.queryDatenbanken.close();
        f.settings.ADOConnection1.close();
        QFile::remove(f.settings.databasePath());
        QFile junk(f.settings.databasePath());
        QVERIFY(junk.open(QIODevice::WriteOnly));
        junk.write(QByteArray(4096, 'x'));
        junk.close();
        f.errors.add(3);
        f.run.btnStartClick();
        QVERIFY(f.calls.isEmpty());
        QCOMPARE(f.log.lines.mid(1), abortedRunLines(1));
        QCOMPARE(f.errors.value(), 1);
    }

    void closedJobListIsOpened() {
        Fixture f({{QStringLiteral("Lager")}});
        f.settings.queryDatenbanken.close();
        f.run.btnStartClick();
        QVERIFY(f.calls.contains(QStringLiteral("arbeitsprozess Lager")));
    }
};

QTEST_GUILESS_MAIN(TestBackupRun)
#include "tst_backuprun.moc"
