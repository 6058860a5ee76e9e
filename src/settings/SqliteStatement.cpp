#include "settings/SqliteStatement.h"

#include "platform/ProgramError.h"
#include "settings/SettingsConnection.h"

#include <sqlcipher/sqlite3.h>

namespace {

// Ends a statement that runs past its time-out.
int checkDeadline(void* context) {
    const auto* deadline = static_cast<const QDeadlineTimer*>(context);
    return deadline->hasExpired() ? 1 : 0;
}

} // namespace

SqliteStatement::SqliteStatement(sqlite3* db, const QString& sql, Text text) : m_db(db) {
    prepare(sql, text);
}

SqliteStatement::~SqliteStatement() {
    sqlite3_finalize(m_stmt);
}

void SqliteStatement::prepare(const QString& sql, Text text) {
    sqlite3_finalize(m_stmt);
    m_stmt = nullptr;
    const QByteArray utf8 = sql.toUtf8();
    const char* tail = nullptr;
    const int rc = sqlite3_prepare_v2(m_db, utf8.constData(), int(utf8.size()), &m_stmt, &tail);
    if (rc != SQLITE_OK)
        fail(rc, connectionMessage());
    if (!m_stmt)
        fail(SQLITE_ERROR, QStringLiteral("Die Anweisung ist leer"));
    const qsizetype rest = utf8.constData() + utf8.size() - tail;
    if (text == Text::OneStatement && !QByteArray::fromRawData(tail, rest).trimmed().isEmpty()) {
        // Not run at all: running only the first part of a text would leave half of it done.
        sqlite3_finalize(m_stmt);
        m_stmt = nullptr;
        fail(SQLITE_ERROR, QStringLiteral("Die Anweisung enthält mehr als einen Befehl"));
    }
    m_resultCode = SQLITE_OK;
}

void SqliteStatement::limitTime(int seconds) {
    m_timed = seconds > 0;
    m_deadline = QDeadlineTimer(qint64(seconds) * 1000);
}

void SqliteStatement::bind(int position, const QVariant& value) {
    int rc;
    switch (value.typeId()) {
    case QMetaType::UnknownType:
        rc = sqlite3_bind_null(m_stmt, position);
        break;
    case QMetaType::LongLong:
        rc = sqlite3_bind_int64(m_stmt, position, value.toLongLong());
        break;
    case QMetaType::Double:
        rc = sqlite3_bind_double(m_stmt, position, value.toDouble());
        break;
    case QMetaType::QByteArray: {
        const QByteArray bytes = value.toByteArray();
        rc = sqlite3_bind_blob(m_stmt, position, bytes.constData(), int(bytes.size()),
                               SQLITE_TRANSIENT);
        break;
    }
    default: {
        const QByteArray utf8 = value.toString().toUtf8();
        rc = sqlite3_bind_text(m_stmt, position, utf8.constData(), int(utf8.size()),
                               SQLITE_TRANSIENT);
        break;
    }
    }
    if (rc != SQLITE_OK)
        fail(rc, connectionMessage());
}

bool SqliteStatement::step() {
    // The handler belongs to the connection: it is set for this step only, so that it never
    // outlives the deadline it points to.
    if (m_timed)
        sqlite3_progress_handler(m_db, 1000, checkDeadline, &m_deadline);
    const int rc = sqlite3_step(m_stmt);
    if (m_timed)
        sqlite3_progress_handler(m_db, 0, nullptr, nullptr);
    if (rc == SQLITE_ROW || rc == SQLITE_DONE) {
        m_resultCode = SQLITE_OK;
        return rc == SQLITE_ROW;
    }
    if (m_timed && (rc & 0xff) == SQLITE_INTERRUPT)
        fail(rc, QStringLiteral("Zeitüberschreitung bei der Ausführung der Anweisung"));
    fail(rc, connectionMessage());
}

void SqliteStatement::run() {
    while (step()) {
    }
}

int SqliteStatement::columnCount() const {
    return sqlite3_column_count(m_stmt);
}

QVariant SqliteStatement::value(int column) const {
    switch (sqlite3_column_type(m_stmt, column)) {
    case SQLITE_NULL:
        return {};
    case SQLITE_INTEGER:
        return QVariant(qlonglong(sqlite3_column_int64(m_stmt, column)));
    case SQLITE_FLOAT:
        return QVariant(sqlite3_column_double(m_stmt, column));
    case SQLITE_BLOB: {
        const auto* data = static_cast<const char*>(sqlite3_column_blob(m_stmt, column));
        return QVariant(QByteArray(data, sqlite3_column_bytes(m_stmt, column)));
    }
    default:
        return QVariant(text(column));
    }
}

QString SqliteStatement::text(int column) const {
    const auto* utf8 = reinterpret_cast<const char*>(sqlite3_column_text(m_stmt, column));
    return QString::fromUtf8(utf8, sqlite3_column_bytes(m_stmt, column));
}

qint64 SqliteStatement::integer(int column) const {
    return sqlite3_column_int64(m_stmt, column);
}

bool SqliteStatement::isNull(int column) const {
    return sqlite3_column_type(m_stmt, column) == SQLITE_NULL;
}

int SqliteStatement::extendedErrorCode() const {
    return sqlite3_extended_errcode(m_db);
}

void SqliteStatement::fail(int code, const QString& message) {
    m_resultCode = code & 0xff;
    throw ProgramError(message);
}

QString SqliteStatement::connectionMessage() const {
    return settingsFileMessage(m_db);
}
