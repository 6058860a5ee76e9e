#pragma once

#include "sqlserver/SqlDbProcess.h"

#include <QString>

// A statement runner on its own connection string. It connects at the first execute() and
// runs later statements on the same connection; a statement that finds the connection
// closed or broken connects again. A new connection string releases the connection.
class SqlCommand {
public:
    // Releases the current connection, also when the text is the same.
    void setConnectionString(const QString& connectionString);
    const QString& connectionString() const { return m_connectionString; }
    void setCommandText(const QString& commandText) { m_commandText = commandText; }
    const QString& commandText() const { return m_commandText; }
    void setCommandTimeout(int seconds) { m_commandTimeout = seconds; }
    int commandTimeout() const { return m_commandTimeout; }

    // Runs the command text; a result set it returns is released unread. Throws
    // ProgramError with the server's text, a time-out text or the connect failure.
    void execute();
    bool isConnected() const { return m_process.isOpen(); }
    void close() { m_process.close(); }

private:
    QString m_connectionString;
    QString m_commandText;
    int m_commandTimeout = 30;
    SqlDbProcess m_process;
};
