#include "sqlserver/SqlQuery.h"

#include "sqlserver/SqlConnectionString.h"

void SqlQuery::open() {
    close();
    try {
        m_process.open(SqlConnectionString::parse(m_connectionString));
        m_rows = m_process.execute(m_sql, m_commandTimeout, true);
    } catch (...) {
        close();
        throw;
    }
    m_open = true;
}

void SqlQuery::close() {
    m_open = false;
    m_rows.clear();
    m_process.close();
}
