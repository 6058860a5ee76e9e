#pragma once

#include "sqlserver/SqlDbProcess.h"
#include "sqlserver/SqlRecord.h"

#include <QString>

// A query on its own connection string: open() connects, runs the SQL text and reads all
// rows of its result; the rows and the connection stay until close().
class SqlQuery {
public:
    void setConnectionString(const QString& connectionString) {
        m_connectionString = connectionString;
    }
    const QString& connectionString() const { return m_connectionString; }
    void setSql(const QString& sql) { m_sql = sql; }
    const QString& sql() const { return m_sql; }
    void setCommandTimeout(int seconds) { m_commandTimeout = seconds; }
    int commandTimeout() const { return m_commandTimeout; }

    // Throws ProgramError; a failed open leaves the query closed.
    void open();
    void close();
    bool isOpen() const { return m_open; }

    // The rows in the order the server sent them (empty unless open).
    const SqlRecords& rows() const { return m_rows; }

private:
    QString m_connectionString;
    QString m_sql;
    int m_commandTimeout = 30;
    SqlDbProcess m_process;
    SqlRecords m_rows;
    bool m_open = false;
};

// A data source over a query, as the window holds one over the file list; it only refers
// to the query.
struct SqlDataSource {
    const SqlQuery* dataSet = nullptr;
};
