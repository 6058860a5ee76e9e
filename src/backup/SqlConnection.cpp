#include "backup/SqlConnection.h"

#include "backup/SqlConnectionString.h"

void SqlConnection::open() {
    close();
    m_process.open(SqlConnectionString::parse(m_connectionString));
}
