#pragma once

#include "backup/JobOutcome.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <optional>

// What the last backup run left, as the command line's status shows it.
struct RunState {
    QDateTime end;
    double durationSeconds = 0;
    qint32 errors = 0;
    int exitCode = 0; // as the program would end after it
    QList<JobOutcome> jobs;
};

// The state of the last backup run, a small JSON file in the program folder written after every
// run (as the monitoring file is), under a temporary name and renamed over the old one.
class RunStateFile {
public:
    static const QString fileName; // "last_run.json"
    explicit RunStateFile(QString path);
    static RunStateFile inProgramFolder(const QString& programFolder);
    const QString& path() const { return m_path; }

    // Throws ProgramError ("Statusdatei kann nicht geschrieben werden: …"); the old file then
    // stays as it was.
    void write(const RunState& state) const;
    // Nothing when there is no file; throws ProgramError when it cannot be read or is damaged.
    std::optional<RunState> read() const;

private:
    QString m_path;
};
