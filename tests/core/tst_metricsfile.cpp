// The monitoring file: its text in node_exporter's format, and its replacement in one step.
#include "TempFolder.h"

#include "core/MetricsFile.h"
#include "platform/ProgramError.h"

#include <QDir>
#include <QFile>
#include <QTest>

Q_DECLARE_METATYPE(RunMetrics)

namespace {
QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
}

JobOutcome outcome(const QString& name, qint64 bytes, bool uploaded) {
    JobOutcome o;
    o.dbName = name;
    o.archiveBytes = bytes;
    o.uploaded = uploaded;
    return o;
}

RunMetrics cleanRun() {
    RunMetrics run;
    run.end = QDateTime::fromMSecsSinceEpoch(1781234567250, Qt::UTC);
    run.durationSeconds = 83.5;
    run.jobs = {outcome(QStringLiteral("Lager"), 1048576, true),
                outcome(QStringLiteral("Kasse"), 2000, false)};
    return run;
}
} // namespace

class TestMetricsFile : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void text_data() {
        QTest::addColumn<RunMetrics>("run");
        QTest::addColumn<QString>("expected");
        const QString head = QStringLiteral(
            "# HELP orvelsqlbackup_last_run_end_timestamp_seconds Unix time at which the last "
            "backup run ended.\n"
            "# TYPE orvelsqlbackup_last_run_end_timestamp_seconds gauge\n"
            "orvelsqlbackup_last_run_end_timestamp_seconds 1781234567.250\n"
            "# HELP orvelsqlbackup_last_run_duration_seconds How long the last backup run took.\n"
            "# TYPE orvelsqlbackup_last_run_duration_seconds gauge\n"
            "orvelsqlbackup_last_run_duration_seconds %1\n"
            "# HELP orvelsqlbackup_last_run_errors Errors the last backup run counted (0 is a clean "
            "run).\n"
            "# TYPE orvelsqlbackup_last_run_errors gauge\n"
            "orvelsqlbackup_last_run_errors %2\n");
        const QString archiveHead = QStringLiteral(
            "# HELP orvelsqlbackup_job_archive_bytes Size of the archive the last run made for the "
            "job, 0 when it made none.\n"
            "# TYPE orvelsqlbackup_job_archive_bytes gauge\n");
        const QString uploadHead = QStringLiteral(
            "# HELP orvelsqlbackup_job_upload_ok 1 when the last run uploaded the job's archive, 0 "
            "when the upload failed or was not asked for.\n"
            "# TYPE orvelsqlbackup_job_upload_ok gauge\n");

        QTest::newRow("clean run") << cleanRun()
                                   << head.arg(QStringLiteral("83.500"), QStringLiteral("0")) +
                                          archiveHead +
                                          "orvelsqlbackup_job_archive_bytes{job=\"Lager\"} 1048576\n"
                                          "orvelsqlbackup_job_archive_bytes{job=\"Kasse\"} 2000\n" +
                                          uploadHead +
                                          "orvelsqlbackup_job_upload_ok{job=\"Lager\"} 1\n"
                                          "orvelsqlbackup_job_upload_ok{job=\"Kasse\"} 0\n";

        // A job name with a quote, a backslash and a line break stays one label value.
        RunMetrics failing = cleanRun();
        failing.errors = 9;
        failing.durationSeconds = 0.25;
        failing.jobs = {outcome(QStringLiteral("Lager\"Nord\\2\nalt"), 0, false)};
        QTest::newRow("failing run, odd name")
            << failing
            << head.arg(QStringLiteral("0.250"), QStringLiteral("9")) + archiveHead +
                   "orvelsqlbackup_job_archive_bytes{job=\"Lager\\\"Nord\\\\2\\nalt\"} 0\n" +
                   uploadHead + "orvelsqlbackup_job_upload_ok{job=\"Lager\\\"Nord\\\\2\\nalt\"} 0\n";

        // No jobs: the run's own figures alone.
        RunMetrics empty = cleanRun();
        empty.jobs.clear();
        QTest::newRow("no jobs") << empty << head.arg(QStringLiteral("83.500"), QStringLiteral("0"));
    }
    void text() {
        QFETCH(RunMetrics, run);
        QFETCH(QString, expected);
        QCOMPARE(MetricsFile::text(run), expected);
    }

    // A collector that has the old file open reads it whole: the new one takes its place by a
    // rename, and nothing else is left in the folder.
    // A job's restore test stays in the file until its next test: a run without one keeps the
    // value and time of the last, also for a name the format escapes; a job without any has none.
    void restoreTestsKeptUntilTheNext() {
        TempFolder folder;
        const QString path = folder.file(QStringLiteral("orvel.prom"));
        const QString odd = QStringLiteral("Lager\"Nord\\2");
        RunMetrics tested = cleanRun();
        tested.jobs.append(outcome(odd, 5, true));
        tested.jobs[0].restoreTested = true;
        tested.jobs[0].restoreOk = true;
        tested.jobs[0].restoreTestEnd = QDateTime::fromMSecsSinceEpoch(1781234000500, Qt::UTC);
        tested.jobs[2].restoreTested = true;
        tested.jobs[2].restoreOk = false;
        tested.jobs[2].restoreTestEnd = QDateTime::fromMSecsSinceEpoch(1781234001000, Qt::UTC);
        MetricsFile(path).write(tested);

        RunMetrics next = cleanRun(); // the next night, no test
        next.jobs.append(outcome(odd, 5, true));
        MetricsFile(path).write(next);
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(f.readAll());
        const QString escaped = QStringLiteral("Lager\\\"Nord\\\\2");
        for (const QString& line :
             {QStringLiteral("orvelsqlbackup_job_restore_test_ok{job=\"Lager\"} 1"),
              QStringLiteral("orvelsqlbackup_job_restore_test_timestamp_seconds{job=\"Lager\"} "
                             "1781234000.500"),
              QStringLiteral("orvelsqlbackup_job_restore_test_ok{job=\"%1\"} 0").arg(escaped),
              QStringLiteral("orvelsqlbackup_job_restore_test_timestamp_seconds{job=\"%1\"} "
                             "1781234001.000")
                  .arg(escaped)})
            QVERIFY2(text.contains(line + QLatin1Char('\n')), qPrintable(text));
        QVERIFY2(!text.contains(QStringLiteral("restore_test_ok{job=\"Kasse\"}")), qPrintable(text));
        QCOMPARE(text.count(QStringLiteral("# TYPE orvelsqlbackup_job_restore_test_ok gauge")), 1);
    }

    void replacesTheOldFileInOneStep() {
        TempFolder folder;
        const QString path = folder.file(QStringLiteral("orvelsqlbackup.prom"));
        const QByteArray old = MetricsFile::text(cleanRun()).toUtf8();
        writeFile(path, old);
        QFile reader(path);
        QVERIFY(reader.open(QIODevice::ReadOnly));

        RunMetrics next = cleanRun();
        next.errors = 2;
        MetricsFile(path).write(next);

        QCOMPARE(reader.readAll(), old);
        QCOMPARE(readAll(path), MetricsFile::text(next).toUtf8());
        QCOMPARE(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden),
                 QStringList{QStringLiteral("orvelsqlbackup.prom")});
        QCOMPARE(QFileInfo(path).permissions() & QFileDevice::ReadOther, QFileDevice::ReadOther);
    }

    void failureNamesTheFile() {
        TempFolder folder;
        const QString path = folder.file(QStringLiteral("missing/orvelsqlbackup.prom"));
        try {
            MetricsFile(path).write(cleanRun());
            QFAIL("written into a missing folder");
        } catch (const ProgramError& e) {
            QVERIFY2(e.message().startsWith(
                         QStringLiteral("Metrikdatei kann nicht geschrieben werden: ") + path),
                     qPrintable(e.message()));
        }
    }

    void pathFromIni_data() {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<QString>("expected"); // relative to the INI's folder, or absolute
        QTest::newRow("missing") << QByteArray("[OrvelSQLBackup]\r\nInternet=1\r\n") << QString();
        QTest::newRow("empty") << QByteArray("[OrvelSQLBackup]\r\nMetricsFile=\r\n") << QString();
        QTest::newRow("absolute") << QByteArray("[orvelsqlbackup]\r\nmetricsfile = /var/lib/x.prom\r\n")
                                  << QStringLiteral("/var/lib/x.prom");
        QTest::newRow("relative") << QByteArray("[OrvelSQLBackup]\r\nMetricsFile=m/x.prom\r\n")
                                  << QStringLiteral("m/x.prom");
        QTest::newRow("other section") << QByteArray("[Other]\r\nMetricsFile=/x.prom\r\n") << QString();
    }
    void pathFromIni() {
        QFETCH(QByteArray, ini);
        QFETCH(QString, expected);
        TempFolder folder;
        const QString iniPath = folder.file(QStringLiteral("OrvelSQLBackup.INI"));
        writeFile(iniPath, ini);
        const QString want =
            expected.isEmpty() || expected.startsWith(QLatin1Char('/')) ? expected : folder.file(expected);
        QCOMPARE(MetricsFile::pathFromIni(iniPath), want);
    }
};

QTEST_GUILESS_MAIN(TestMetricsFile)
#include "tst_metricsfile.moc"
