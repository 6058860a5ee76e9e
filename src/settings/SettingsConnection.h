#pragma once

#include <QString>
#include <vector>

struct sqlite3;
class Dataset;

// The parts of an OLE DB style connection string that the settings file needs.
struct ConnectionParams {
    QString dataSource; // "Data Source"
    QString password;   // "Jet OLEDB:Database Password"
};

// The connection to the encrypted settings file. Other processes may open the file at the
// same time; a lock one of them holds for a moment is waited for (busy time-out).
class SettingsConnection {
public:
    static constexpr int defaultBusyTimeoutMs = 10000;

    SettingsConnection() = default;
    ~SettingsConnection();
    SettingsConnection(const SettingsConnection&) = delete;
    SettingsConnection& operator=(const SettingsConnection&) = delete;

    // Keys are matched without regard to case; keys other than the two above are ignored;
    // a value may be quoted with " or ' (a doubled quote inside stands for itself). A malformed
    // string throws ProgramError.
    static ConnectionParams parseConnectionString(const QString& connectionString);

    void setConnectionString(const QString& connectionString) {
        m_connectionString = connectionString;
    }
    const QString& connectionString() const { return m_connectionString; }
    void setBusyTimeoutMs(int ms);
    int busyTimeoutMs() const { return m_busyTimeoutMs; }

    // Opens an existing file (a missing one is not created) and proves the key by reading the
    // schema, so a wrong password or a file that is no database fails here. Throws ProgramError.
    void open();
    // Closes the datasets that use this connection, then the file.
    void close();
    bool connected() const { return m_db != nullptr; }
    sqlite3* handle() const { return m_db; }

    // The text of the last error of this connection.
    QString lastError() const;
    // Why the last open refused the file without trying it (a symbolic link in place of the
    // file or a journal file, an empty file); empty otherwise.
    const QString& refusal() const { return m_refusal; }

private:
    friend class Dataset;
    void attach(Dataset* dataset);
    void detach(Dataset* dataset);

    QString m_connectionString;
    int m_busyTimeoutMs = defaultBusyTimeoutMs;
    sqlite3* m_db = nullptr;
    QString m_refusal;
    std::vector<Dataset*> m_datasets;
};

// Opens (or, with create, creates) the file and sets the key; nullptr and a message on failure,
// with `refused` set when a symbolic link sits in place of the file or a journal file.
// Shared by the connection and the creation of a new settings file.
sqlite3* openSettingsFile(const ConnectionParams& params, bool create, int busyTimeoutMs,
                          QString* error, bool* refused = nullptr);

// The text of the last failure on a settings file connection; where SQLite could not open a
// file because a symbolic link sat in its place, the refusal naming that file.
QString settingsFileMessage(sqlite3* db);
