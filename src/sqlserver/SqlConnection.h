#pragma once

#include "sqlserver/SqlDbProcess.h"

#include <QString>

// A connection that is opened and closed as a whole, from an OLE DB connection string
// (the connection check of a job and the connection test).
class SqlConnection {
public:
    void setConnectionString(const QString& connectionString) {
        m_connectionString = connectionString;
    }
    const QString& connectionString() const { return m_connectionString; }

    // Throws ProgramError: a bad connection string, an unreachable server, a refused login
    // or database.
    void open();
    void close() { m_process.close(); }
    bool isOpen() const { return m_process.isOpen(); }

private:
    QString m_connectionString;
    SqlDbProcess m_process;
};
