#include "settings/SettingsCommand.h"

#include "platform/ProgramError.h"
#include "settings/SettingsConnection.h"
#include "settings/SqliteStatement.h"

#include <sqlcipher/sqlite3.h>

void SettingsCommand::execSQL() {
    m_lastResultCode = SQLITE_CANTOPEN;
    if (!m_connection)
        throw ProgramError(QStringLiteral("Keine Verbindung zur Einstellungsdatenbank zugewiesen"));
    m_connection->open();

    SqliteStatement statement(m_connection->handle());
    try {
        // One statement per command, as the command text is one line of SQL.
        statement.prepare(m_sql, SqliteStatement::Text::OneStatement);
        statement.limitTime(m_commandTimeoutS);
        statement.run();
    } catch (const ProgramError&) {
        m_lastResultCode = statement.resultCode();
        throw;
    }
    m_lastResultCode = SQLITE_OK;
}
