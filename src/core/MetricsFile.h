#pragma once

#include "backup/JobOutcome.h"

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QString>

// What the last backup run looked like, as monitoring sees it.
struct RunMetrics {
    QDateTime end;
    double durationSeconds = 0;
    qint32 errors = 0;
    QList<JobOutcome> jobs;
    // The restore test samples of the file this run replaces, by job, as they stand there (value
    // and time): a job without a test tonight keeps its last one.
    struct RestoreTestSample {
        QString ok;
        QString timestamp;
    };
    QHash<QString, RestoreTestSample> earlierRestoreTests;
};

// The figures of the last backup run in node_exporter's textfile format: gauges, each with its
// HELP and TYPE lines, for the textfile collector. The file is written beside its target under a
// temporary name and renamed over it, so a collector reading at any moment sees the previous
// run's file or this run's, never a part of one.
class MetricsFile {
public:
    explicit MetricsFile(QString path);
    const QString& path() const { return m_path; }

    // The file named by MetricsFile= in the INI file's section; a relative path is taken from the
    // INI file's folder. Empty when the key is missing or empty: then nothing is written.
    static QString pathFromIni(const QString& iniPath);

    static QString text(const RunMetrics& metrics);
    // The restore test samples of a file this class wrote.
    static QHash<QString, RunMetrics::RestoreTestSample> restoreTestsIn(const QString& text);
    // A label value as the format writes it between its quotes.
    static QString labelValue(const QString& value);

    // Throws ProgramError ("Metrikdatei kann nicht geschrieben werden: …") when it cannot write;
    // the old file then stays as it was.
    void write(const RunMetrics& metrics) const;

private:
    QString m_path;
};
