#pragma once

#include "backup/JobOutcome.h"

#include <QDateTime>
#include <QList>
#include <QString>

// What the last backup run looked like, as monitoring sees it.
struct RunMetrics {
    QDateTime end;
    double durationSeconds = 0;
    qint32 errors = 0;
    QList<JobOutcome> jobs;
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
    // A label value as the format writes it between its quotes.
    static QString labelValue(const QString& value);

    // Throws ProgramError ("Metrikdatei kann nicht geschrieben werden: …") when it cannot write;
    // the old file then stays as it was.
    void write(const RunMetrics& metrics) const;

private:
    QString m_path;
};
