#include "settings/SettingsTransaction.h"

#include "platform/ProgramError.h"
#include "settings/SettingsConnection.h"

#include <sqlcipher/sqlite3.h>

SettingsTransaction::SettingsTransaction(SettingsConnection& connection)
    : m_connection(connection) {
    if (!m_connection.connected())
        throw ProgramError(QStringLiteral("Keine Verbindung zur Einstellungsdatenbank"));
    run("BEGIN IMMEDIATE");
    m_active = true;
}

SettingsTransaction::~SettingsTransaction() {
    if (m_active)
        rollback();
}

void SettingsTransaction::run(const char* statement) {
    char* error = nullptr;
    if (sqlite3_exec(m_connection.handle(), statement, nullptr, nullptr, &error) != SQLITE_OK) {
        const QString text = QString::fromUtf8(error ? error : "");
        sqlite3_free(error);
        throw ProgramError(
            QStringLiteral("Die Einstellungsdatenbank konnte nicht geändert werden: ") + text);
    }
}

void SettingsTransaction::commit() {
    if (!m_active)
        return;
    try {
        run("COMMIT");
    } catch (...) {
        rollback();
        throw;
    }
    m_active = false;
}

void SettingsTransaction::rollback() {
    if (!m_active)
        return;
    m_active = false;
    // Nothing to report: whatever the file holds now is what it held before the transaction.
    sqlite3_exec(m_connection.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
}
