#include "settings/SettingsConnection.h"

#include "platform/ConnectionString.h"
#include "platform/PrivateFile.h"
#include "platform/ProgramError.h"
#include "settings/Dataset.h"

#define SQLITE_HAS_CODEC 1
#include <sqlcipher/sqlite3.h>

#include <QFile>
#include <algorithm>

namespace {

QString sqliteMessage(sqlite3* db) {
    return db ? QString::fromUtf8(sqlite3_errmsg(db)) : QStringLiteral("out of memory");
}

} // namespace

ConnectionParams SettingsConnection::parseConnectionString(const QString& connectionString) {
    ConnectionParams params;
    for (const ConnectionString::Entry& entry : ConnectionString::split(connectionString)) {
        if (entry.key == QLatin1String("data source"))
            params.dataSource = entry.value;
        else if (entry.key == QLatin1String("jet oledb:database password"))
            params.password = entry.value;
    }
    return params;
}

sqlite3* openSettingsFile(const ConnectionParams& params, bool create, int busyTimeoutMs,
                          QString* error) {
    auto fail = [error](sqlite3* db, const QString& text) -> sqlite3* {
        if (error)
            *error = text;
        if (db)
            sqlite3_close_v2(db);
        return nullptr;
    };
    if (params.dataSource.isEmpty())
        return fail(nullptr, QStringLiteral("Keine Datenquelle angegeben"));

    // A file from an older version (or copied in) may be readable by every local account;
    // narrowed before it is opened, the files SQLite writes beside it take the narrow mode too.
    for (const char* suffix : {"", "-journal", "-wal", "-shm"})
        restrictToOwner(params.dataSource + QLatin1String(suffix));

    sqlite3* db = nullptr;
    const int flags =
        SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0) | SQLITE_OPEN_FULLMUTEX;
    const QByteArray path = QFile::encodeName(params.dataSource);
    int rc = sqlite3_open_v2(path.constData(), &db, flags, nullptr);
    if (rc != SQLITE_OK)
        return fail(db, sqliteMessage(db));
    sqlite3_extended_result_codes(db, 1);
    sqlite3_busy_timeout(db, busyTimeoutMs);
    if (!params.password.isEmpty()) {
        const QByteArray key = params.password.toUtf8();
        if (sqlite3_key(db, key.constData(), int(key.size())) != SQLITE_OK)
            return fail(db, sqliteMessage(db));
    }
    // The key is only checked when the first page is read: read the schema now, so that a
    // wrong password or a file that is no database shows as a failed connection.
    rc = sqlite3_exec(db, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK)
        return fail(db, sqliteMessage(db));
    return db;
}

SettingsConnection::~SettingsConnection() {
    close();
    for (Dataset* d : m_datasets)
        d->m_connection = nullptr;
}

void SettingsConnection::setBusyTimeoutMs(int ms) {
    m_busyTimeoutMs = ms;
    if (m_db)
        sqlite3_busy_timeout(m_db, ms);
}

void SettingsConnection::open() {
    if (m_db)
        return;
    QString error;
    m_db =
        openSettingsFile(parseConnectionString(m_connectionString), false, m_busyTimeoutMs, &error);
    if (!m_db)
        throw ProgramError(error);
}

void SettingsConnection::close() {
    const std::vector<Dataset*> datasets = m_datasets;
    for (Dataset* d : datasets)
        d->connectionClosing();
    if (m_db) {
        sqlite3_close_v2(m_db);
        m_db = nullptr;
    }
}

QString SettingsConnection::lastError() const {
    return m_db ? sqliteMessage(m_db) : QString();
}

void SettingsConnection::attach(Dataset* dataset) {
    if (std::find(m_datasets.begin(), m_datasets.end(), dataset) == m_datasets.end())
        m_datasets.push_back(dataset);
}

void SettingsConnection::detach(Dataset* dataset) {
    m_datasets.erase(std::remove(m_datasets.begin(), m_datasets.end(), dataset), m_datasets.end());
}
