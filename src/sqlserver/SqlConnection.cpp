#include "sqlserver/SqlConnection.h"

#include "sqlserver/SqlConnectionString.h"

void SqlConnection::open() {
    close();
    m_process.open(SqlConnectionString::parse(m_connectionString));
}
