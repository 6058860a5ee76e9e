#pragma once

#include "cli/CollectingLog.h"

#include <QString>
#include <memory>

class Dataset;
class SettingsDatabase;

// The settings file of a program folder, opened as the program opens it (created when missing,
// the schema brought up to date) with the window's editing rules on its two datasets.
class SettingsSession {
public:
    explicit SettingsSession(QString programFolder);
    ~SettingsSession();
    SettingsSession(const SettingsSession&) = delete;
    SettingsSession& operator=(const SettingsSession&) = delete;

    // False with the reason (the settings layer's own lines) when the file cannot be opened.
    bool open(QString& reason);

    SettingsDatabase& database() { return *m_db; }
    Dataset& jobs();
    Dataset& general();

    // Makes the job of that database name the current row; false when there is none.
    bool findJob(const QString& name);
    // The row of that database name, -1 when there is none.
    int jobRow(const QString& name);

private:
    QString m_programFolder;
    CollectingLog m_log;
    std::unique_ptr<SettingsDatabase> m_db;
};
