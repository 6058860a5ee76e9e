#include "sqlserver/SqlCommand.h"

#include "sqlserver/SqlConnectionString.h"

void SqlCommand::setConnectionString(const QString& connectionString) {
    m_process.close();
    m_connectionString = connectionString;
}

void SqlCommand::execute() {
    if (!m_process.isOpen())
        m_process.open(SqlConnectionString::parse(m_connectionString));
    m_process.execute(m_commandText, m_commandTimeout, false);
}
