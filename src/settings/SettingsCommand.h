#pragma once

#include <QString>

class SettingsConnection;

// Executes one statement that returns no rows on the settings connection.
class SettingsCommand {
public:
    static constexpr int defaultCommandTimeoutS = 60;

    void setConnection(SettingsConnection* connection) { m_connection = connection; }
    void setSQL(const QString& sql) { m_sql = sql; }
    const QString& sql() const { return m_sql; }
    void setCommandTimeout(int seconds) { m_commandTimeoutS = seconds; }
    int commandTimeout() const { return m_commandTimeoutS; }

    // Runs the SQL text; throws ProgramError with the database's message when the statement is
    // refused, when the text holds more than one statement, or when it runs past the time-out.
    void execSQL();
    // How the last execSQL ended: 0 done, 1 the statement itself was refused (its text, a
    // column already there, …), other SQLite result codes for the file (locked, busy, disk full,
    // …).
    int lastResultCode() const { return m_lastResultCode; }

private:
    SettingsConnection* m_connection = nullptr;
    QString m_sql;
    int m_commandTimeoutS = defaultCommandTimeoutS;
    int m_lastResultCode = 0;
};
