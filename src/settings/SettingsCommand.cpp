#include "settings/SettingsCommand.h"

#include "platform/ProgramError.h"
#include "settings/SettingsConnection.h"

#include <sqlcipher/sqlite3.h>

#include <QDeadlineTimer>

namespace {

// Ends a statement that runs past its time-out.
int checkDeadline(void* context) {
    const auto* deadline = static_cast<const QDeadlineTimer*>(context);
    return deadline->hasExpired() ? 1 : 0;
}

} // namespace

void SettingsCommand::execSQL() {
    m_lastResultCode = SQLITE_CANTOPEN;
    if (!m_connection)
        throw ProgramError(QStringLiteral("Keine Verbindung zur Einstellungsdatenbank zugewiesen"));
    m_connection->open();
    sqlite3* db = m_connection->handle();

    const QByteArray text = m_sql.toUtf8();
    sqlite3_stmt* stmt = nullptr;
    const char* tail = nullptr;
    int rc = sqlite3_prepare_v2(db, text.constData(), int(text.size()), &stmt, &tail);
    m_lastResultCode = rc & 0xff;
    if (rc != SQLITE_OK)
        throw ProgramError(m_connection->lastError());
    m_lastResultCode = SQLITE_ERROR;
    if (!stmt)
        throw ProgramError(QStringLiteral("Die Anweisung ist leer"));
    // One statement per command, as the command text is one line of SQL.
    if (!QByteArray(tail).trimmed().isEmpty()) {
        sqlite3_finalize(stmt);
        throw ProgramError(QStringLiteral("Die Anweisung enthält mehr als einen Befehl"));
    }

    QDeadlineTimer deadline(qint64(m_commandTimeoutS) * 1000);
    if (m_commandTimeoutS > 0)
        sqlite3_progress_handler(db, 1000, checkDeadline, &deadline);
    do
        rc = sqlite3_step(stmt);
    while (rc == SQLITE_ROW);
    sqlite3_progress_handler(db, 0, nullptr, nullptr);
    QString error;
    if (rc == SQLITE_INTERRUPT)
        error = QStringLiteral("Zeitüberschreitung bei der Ausführung der Anweisung");
    else if (rc != SQLITE_DONE)
        error = m_connection->lastError();
    sqlite3_finalize(stmt);
    m_lastResultCode = rc == SQLITE_DONE ? SQLITE_OK : (rc & 0xff);
    if (!error.isEmpty())
        throw ProgramError(error);
}
