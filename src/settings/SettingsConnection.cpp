#include "settings/SettingsConnection.h"

#include "platform/ConnectionString.h"
#include "platform/NoFollowFile.h"
#include "platform/PrivateFile.h"
#include "platform/ProgramError.h"
#include "settings/Dataset.h"

#define SQLITE_HAS_CODEC 1
#include <sqlcipher/sqlite3.h>

#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <algorithm>
#include <mutex>
#include <utility>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

QMutex refusedMutex;
QString refusedPath; // the last file SQLite could not open because a link sat in its place

#ifdef Q_OS_UNIX
// SQLite opens the settings file and, later and by itself, its journal files. Every open of
// its file layer goes through here, so a link planted in place of any of them is not followed.
int openWithoutFollowing(const char* path, int flags, int mode) {
    const int fd = ::open(path, flags | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd >= 0 || errno != ELOOP)
        return fd;
    // SQLite also opens the folder, read-only, to make a rename durable; the program folder
    // itself may well be reached through a link.
    struct stat st {};
    if ((flags & O_ACCMODE) == O_RDONLY && !(flags & O_CREAT) && ::stat(path, &st) == 0 &&
        S_ISDIR(st.st_mode))
        return ::open(path, flags | O_DIRECTORY | O_CLOEXEC, mode);
    {
        const QMutexLocker lock(&refusedMutex);
        refusedPath = QFile::decodeName(path);
    }
    errno = ELOOP;
    return -1;
}
#endif

void openWithoutFollowingLinks() {
#ifdef Q_OS_UNIX
    static std::once_flag once;
    std::call_once(once, [] {
        if (sqlite3_vfs* vfs = sqlite3_vfs_find(nullptr); vfs && vfs->iVersion >= 3)
            vfs->xSetSystemCall(vfs, "open",
                                reinterpret_cast<sqlite3_syscall_ptr>(&openWithoutFollowing));
    });
#endif
}

} // namespace

QString settingsFileMessage(sqlite3* db) {
    {
        // SQLite only says it could not open a file: name the file a link was refused for.
        const QMutexLocker lock(&refusedMutex);
        if (!refusedPath.isEmpty())
            return NoFollowFile::refusal(std::exchange(refusedPath, QString()));
    }
    return db ? QString::fromUtf8(sqlite3_errmsg(db)) : QStringLiteral("out of memory");
}

namespace {
QString sqliteMessage(sqlite3* db) {
    return settingsFileMessage(db);
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
                          QString* error, bool* refused) {
    if (refused)
        *refused = false;
    auto fail = [error](sqlite3* db, const QString& text) -> sqlite3* {
        if (error)
            *error = text;
        if (db)
            sqlite3_close_v2(db);
        return nullptr;
    };
    if (params.dataSource.isEmpty())
        return fail(nullptr, QStringLiteral("Keine Datenquelle angegeben"));

    // Neither the file nor the journal files SQLite keeps beside it may be a link: the file's
    // account would write wherever it points.
    openWithoutFollowingLinks();
    for (const char* suffix : {"", "-journal", "-wal", "-shm"})
        if (const QString path = params.dataSource + QLatin1String(suffix);
            NoFollowFile::isSymLink(path)) {
            if (refused)
                *refused = true;
            return fail(nullptr, NoFollowFile::refusal(path));
        }

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
    // A file that another process keeps locked for writing beyond the busy time-out fails
    // here, not in the middle of the run (a read-only file is still read).
    rc = sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK)
        rc = sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK && (rc & 0xff) != SQLITE_READONLY)
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
    m_refusal.clear();
    const ConnectionParams params = parseConnectionString(m_connectionString);
    // SQLite would take an empty file for an empty database and build the tables into it; an
    // empty file in place of the settings was not made by this program and stays as it is.
    if (const QFileInfo info(params.dataSource);
        !info.isSymLink() && info.isFile() && info.size() == 0) {
        m_refusal = QStringLiteral("Die Datei %1 ist leer und keine Einstellungsdatenbank")
                        .arg(params.dataSource);
        throw ProgramError(m_refusal);
    }
    QString error;
    bool refused = false;
    m_db = openSettingsFile(params, false, m_busyTimeoutMs, &error, &refused);
    if (refused)
        m_refusal = error;
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
