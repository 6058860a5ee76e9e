#include "settings/Dataset.h"

#include "platform/ProgramError.h"
#include "settings/SettingsConnection.h"
#include "settings/SqlValue.h"

#include <sqlcipher/sqlite3.h>

#include <QRegularExpression>

namespace {

QString quoteIdentifier(const QString& name) {
    QString quoted = name;
    quoted.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

// Finalizes a statement on every way out.
class Statement {
public:
    Statement(SettingsConnection* connection, const QString& sql) : m_db(connection->handle()) {
        const QByteArray text = sql.toUtf8();
        if (sqlite3_prepare_v2(m_db, text.constData(), int(text.size()), &m_stmt, nullptr) !=
            SQLITE_OK)
            throw ProgramError(QString::fromUtf8(sqlite3_errmsg(m_db)));
    }
    ~Statement() { sqlite3_finalize(m_stmt); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    sqlite3_stmt* get() const { return m_stmt; }
    sqlite3* db() const { return m_db; }

private:
    sqlite3* m_db;
    sqlite3_stmt* m_stmt = nullptr;
};

// "NOT NULL constraint failed: table.column" → column.
QString columnOfConstraint(const QString& message) {
    const qsizetype colon = message.lastIndexOf(QLatin1Char(':'));
    QString name = message.mid(colon + 1).trimmed();
    name = name.section(QLatin1Char(','), 0, 0).trimmed();
    return name.section(QLatin1Char('.'), -1);
}

bool sameValue(const QVariant& a, const QVariant& b) {
    if (!a.isValid() || !b.isValid())
        return a.isValid() == b.isValid();
    return a == b;
}

} // namespace

// ---------------------------------------------------------------- Field

const FieldDef& Field::def() const {
    if (!m_dataset || m_index < 0 || m_index >= m_dataset->fieldCount())
        throw ProgramError(
            QStringLiteral("Das Feld ist nicht verfügbar, die Datenmenge ist geschlossen"));
    return m_dataset->fieldDef(m_index);
}

QVariant Field::value() const {
    def();
    if (m_dataset->m_current < 0)
        return {};
    return m_dataset->m_rows[std::size_t(m_dataset->m_current)].values[std::size_t(m_index)];
}

bool Field::isNull() const {
    return !value().isValid();
}

QString Field::asString() const {
    return SqlValue::displayText(def(), value());
}

int Field::asInteger() const {
    const QVariant v = value();
    if (!v.isValid())
        return 0;
    if (v.typeId() == QMetaType::Bool)
        return v.toBool() ? 1 : 0;
    bool ok = false;
    const int n = v.toString().trimmed().toInt(&ok);
    return ok ? n : v.toInt();
}

bool Field::asBoolean() const {
    const QVariant v = value();
    if (!v.isValid())
        return false;
    return SqlValue::toBoolean(v).value_or(false);
}

QDateTime Field::asDateTime() const {
    const QVariant v = value();
    if (!v.isValid())
        return {};
    if (v.typeId() == QMetaType::QDateTime)
        return v.toDateTime();
    return SqlValue::parseDateTime(v.toString());
}

void Field::setValue(const QVariant& value) {
    def();
    m_dataset->setFieldValue(m_index, value);
}

void Field::setAsString(const QString& text) {
    setValue(text.isEmpty() ? QVariant() : QVariant(text));
}

void Field::clear() {
    setValue(QVariant());
}

// ---------------------------------------------------------------- Dataset

Dataset::~Dataset() {
    if (m_connection)
        m_connection->detach(this);
}

void Dataset::setConnection(SettingsConnection* connection) {
    if (connection == m_connection)
        return;
    close();
    if (m_connection)
        m_connection->detach(this);
    m_connection = connection;
    if (m_connection)
        m_connection->attach(this);
}

QString Dataset::tableName() const {
    static const QRegularExpression pattern(
        QStringLiteral(R"(^\s*select\s+\*\s+from\s+\[?([A-Za-z_][A-Za-z0-9_]*)\]?\s*;?\s*$)"),
        QRegularExpression::CaseInsensitiveOption);
    const auto match = pattern.match(m_sql);
    return match.hasMatch() ? match.captured(1) : QString();
}

void Dataset::open() {
    if (isOpen())
        return;
    if (!m_connection)
        throw ProgramError(QStringLiteral("Der Datenmenge ist keine Verbindung zugewiesen"));
    const QString table = tableName();
    if (table.isEmpty())
        throw ProgramError(QStringLiteral("Nicht unterstützte Abfrage: ") + m_sql);
    m_connection->open();

    Statement select(m_connection,
                     QStringLiteral("SELECT rowid, * FROM ") + quoteIdentifier(table));
    m_table = table;
    readFieldDefs(table);
    if (sqlite3_column_count(select.get()) != fieldCount() + 1) {
        m_fields.clear();
        throw ProgramError(
            QStringLiteral("Die Spalten der Tabelle '%1' können nicht gelesen werden").arg(table));
    }
    std::vector<Row> rows;
    int rc;
    while ((rc = sqlite3_step(select.get())) == SQLITE_ROW)
        rows.push_back(readRow(select.get()));
    if (rc != SQLITE_DONE) {
        m_fields.clear();
        throw ProgramError(QString::fromUtf8(sqlite3_errmsg(select.db())));
    }
    m_rows = std::move(rows);
    m_current = m_rows.empty() ? -1 : 0;
    m_bof = true;
    m_eof = m_rows.empty();
    m_modified = false;
    m_state = DatasetState::Browse;
    notify(DatasetEvent::StateChanged);
    notify(DatasetEvent::DataSetChanged);
}

void Dataset::close() {
    if (!isOpen())
        return;
    m_rows.clear();
    m_fields.clear();
    m_current = -1;
    m_eof = m_bof = true;
    m_modified = false;
    m_state = DatasetState::Inactive;
    notify(DatasetEvent::StateChanged);
    notify(DatasetEvent::DataSetChanged);
}

void Dataset::connectionClosing() {
    close();
}

void Dataset::readFieldDefs(const QString& table) {
    Statement info(m_connection, QStringLiteral("PRAGMA table_info(") + quoteIdentifier(table) +
                                     QLatin1Char(')'));
    std::vector<FieldDef> fields;
    int keyColumns = 0;
    int rc;
    while ((rc = sqlite3_step(info.get())) == SQLITE_ROW) {
        FieldDef def;
        def.name =
            QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(info.get(), 1)));
        def.declaredType =
            QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(info.get(), 2)));
        def.required = sqlite3_column_int(info.get(), 3) != 0;
        def.hasDefault = sqlite3_column_type(info.get(), 4) != SQLITE_NULL;
        def.primaryKey = sqlite3_column_int(info.get(), 5) != 0;
        SqlValue::classify(def);
        if (def.primaryKey)
            ++keyColumns;
        fields.push_back(def);
    }
    if (rc != SQLITE_DONE)
        throw ProgramError(QString::fromUtf8(sqlite3_errmsg(info.db())));
    // A single INTEGER PRIMARY KEY is the row number itself: the table fills it in.
    for (FieldDef& def : fields)
        def.autoNumber =
            keyColumns == 1 && def.primaryKey &&
            def.declaredType.trimmed().compare(QLatin1String("INTEGER"), Qt::CaseInsensitive) == 0;
    m_fields = std::move(fields);
}

Dataset::Row Dataset::readRow(void* stmtPtr) const {
    auto* stmt = static_cast<sqlite3_stmt*>(stmtPtr);
    Row row;
    row.rowid = sqlite3_column_int64(stmt, 0);
    row.values.reserve(m_fields.size());
    for (int i = 0; i < fieldCount(); ++i)
        row.values.push_back(readValue(stmt, i + 1, m_fields[std::size_t(i)]));
    row.original = row.values;
    return row;
}

QVariant Dataset::readValue(void* stmtPtr, int column, const FieldDef& def) const {
    auto* stmt = static_cast<sqlite3_stmt*>(stmtPtr);
    switch (sqlite3_column_type(stmt, column)) {
    case SQLITE_NULL:
        return {};
    case SQLITE_INTEGER:
        return SqlValue::fromStored(def, QVariant(qlonglong(sqlite3_column_int64(stmt, column))));
    case SQLITE_FLOAT:
        return SqlValue::fromStored(def, QVariant(sqlite3_column_double(stmt, column)));
    case SQLITE_BLOB: {
        const auto* data = static_cast<const char*>(sqlite3_column_blob(stmt, column));
        return SqlValue::fromStored(def,
                                    QVariant(QByteArray(data, sqlite3_column_bytes(stmt, column))));
    }
    default: {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, column));
        return SqlValue::fromStored(
            def, QVariant(QString::fromUtf8(text, sqlite3_column_bytes(stmt, column))));
    }
    }
}

QStringList Dataset::fieldNames() const {
    QStringList names;
    for (const FieldDef& def : m_fields)
        names.append(def.name);
    return names;
}

int Dataset::fieldIndex(const QString& name) const {
    for (int i = 0; i < fieldCount(); ++i)
        if (m_fields[std::size_t(i)].name.compare(name, Qt::CaseInsensitive) == 0)
            return i;
    return -1;
}

Field Dataset::field(const QString& name) {
    const int index = fieldIndex(name);
    if (index < 0)
        throw ProgramError(QStringLiteral("Feld '%1' nicht gefunden").arg(name));
    return Field(this, index);
}

Field Dataset::field(int index) {
    if (index < 0 || index >= fieldCount())
        throw ProgramError(
            QStringLiteral("Feldnummer %1 außerhalb des gültigen Bereichs").arg(index));
    return Field(this, index);
}

QVariant Dataset::value(const QString& name) const {
    const int index = fieldIndex(name);
    if (index < 0)
        throw ProgramError(QStringLiteral("Feld '%1' nicht gefunden").arg(name));
    if (m_current < 0)
        return {};
    return m_rows[std::size_t(m_current)].values[std::size_t(index)];
}

void Dataset::setValue(const QString& name, const QVariant& value) {
    field(name).setValue(value);
}

void Dataset::requireOpen() const {
    if (!isOpen())
        throw ProgramError(
            QStringLiteral("Die Datenmenge '%1' ist nicht geöffnet").arg(tableName()));
}

void Dataset::requireRow() const {
    requireOpen();
    if (m_current < 0)
        throw ProgramError(
            QStringLiteral("Die Datenmenge '%1' enthält keinen Datensatz").arg(m_table));
}

void Dataset::requireEditing() const {
    requireOpen();
    if (!hasPendingChanges())
        throw ProgramError(
            QStringLiteral("Die Datenmenge '%1' ist nicht im Bearbeitungs- oder Einfügemodus")
                .arg(m_table));
}

void Dataset::setFieldValue(int index, const QVariant& value) {
    requireEditing();
    const QVariant converted = SqlValue::toFieldValue(m_fields[std::size_t(index)], value);
    m_rows[std::size_t(m_current)].values[std::size_t(index)] = converted;
    m_modified = true;
    notify(DatasetEvent::FieldChanged, index);
}

// ---------------------------------------------------------------- moving

void Dataset::checkBrowseMode() {
    requireOpen();
    if (!hasPendingChanges())
        return;
    if (m_modified)
        post();
    else
        cancel();
}

void Dataset::moveCurrent(int row) {
    const bool moved = row != m_current;
    m_current = row;
    if (moved)
        notify(DatasetEvent::Scrolled);
}

void Dataset::first() {
    checkBrowseMode();
    moveCurrent(m_rows.empty() ? -1 : 0);
    m_bof = true;
    m_eof = m_rows.empty();
}

void Dataset::last() {
    checkBrowseMode();
    moveCurrent(recordCount() - 1);
    m_eof = true;
    m_bof = m_rows.empty();
}

void Dataset::next() {
    checkBrowseMode();
    if (m_current + 1 < recordCount()) {
        moveCurrent(m_current + 1);
        m_bof = false;
        m_eof = false;
    } else {
        m_eof = true;
    }
}

void Dataset::prior() {
    checkBrowseMode();
    if (m_current > 0) {
        moveCurrent(m_current - 1);
        m_bof = false;
        m_eof = false;
    } else {
        m_bof = true;
    }
}

void Dataset::moveTo(int row) {
    requireOpen();
    if (row < 0 || row >= recordCount())
        throw ProgramError(QStringLiteral("Datensatz %1 existiert nicht").arg(row + 1));
    if (row != m_current) {
        // The row is counted as shown, with the new row; when that row is dropped the ones after it
        // move up.
        const bool dropsNewRow = m_state == DatasetState::Insert && !m_modified;
        const int newRow = m_current;
        checkBrowseMode();
        if (dropsNewRow && row > newRow)
            --row;
        moveCurrent(row);
    }
    m_bof = m_eof = false;
}

// ---------------------------------------------------------------- editing

void Dataset::setState(DatasetState state) {
    if (state == m_state)
        return;
    m_state = state;
    notify(DatasetEvent::StateChanged);
}

void Dataset::edit() {
    requireOpen();
    if (hasPendingChanges())
        return;
    if (m_rows.empty()) {
        append();
        return;
    }
    m_modified = false;
    setState(DatasetState::Edit);
}

void Dataset::append() {
    beginNewRow(true);
}

void Dataset::insert() {
    beginNewRow(false);
}

void Dataset::beginNewRow(bool atEnd) {
    checkBrowseMode();
    Row row;
    row.values.resize(m_fields.size());
    row.original.resize(m_fields.size());
    const int position = atEnd || m_current < 0 ? recordCount() : m_current;
    m_rowBeforeInsert = m_current;
    m_rows.insert(m_rows.begin() + position, std::move(row));
    m_current = position;
    m_eof = m_bof = false;
    m_modified = false;
    setState(DatasetState::Insert);
    notify(DatasetEvent::DataSetChanged);
    if (onNewRecord) {
        try {
            onNewRecord(*this);
        } catch (...) {
            cancel();
            throw;
        }
    }
    // The defaults of a new row are not the user's input: a row that gets nothing more is dropped.
    m_modified = false;
}

void Dataset::cancel() {
    requireOpen();
    if (m_state == DatasetState::Edit) {
        Row& row = m_rows[std::size_t(m_current)];
        row.values = row.original;
    } else if (m_state == DatasetState::Insert) {
        m_rows.erase(m_rows.begin() + m_current);
        int back = m_rowBeforeInsert;
        if (back >= recordCount())
            back = recordCount() - 1;
        m_current = back;
        m_eof = m_bof = m_rows.empty();
    } else {
        return;
    }
    m_modified = false;
    setState(DatasetState::Browse);
    notify(DatasetEvent::DataSetChanged);
}

void Dataset::checkRow(const Row& row) const {
    for (int i = 0; i < fieldCount(); ++i) {
        const FieldDef& def = m_fields[std::size_t(i)];
        const QVariant& v = row.values[std::size_t(i)];
        const bool emptyText = def.type == FieldType::Text && v.isValid() && v.toString().isEmpty();
        const bool filledByTable =
            !v.isValid() && m_state == DatasetState::Insert && (def.hasDefault || def.autoNumber);
        if (def.required && (emptyText || !v.isValid()) && !filledByTable && !def.autoNumber)
            throw ProgramError(SqlValue::requiredMessage(m_table, def.name));
        if (def.type == FieldType::Text && def.size > 0 && v.isValid() &&
            v.toString().size() > def.size)
            throw ProgramError(SqlValue::tooLongMessage(m_table, def.name, def.size));
    }
}

void Dataset::post() {
    requireOpen();
    if (!hasPendingChanges())
        return;
    if (onBeforePost)
        onBeforePost(*this);
    if (!hasPendingChanges()) // the hook may have cancelled
        return;
    if (!m_connection || !m_connection->connected())
        throw ProgramError(QStringLiteral("Keine Verbindung zur Einstellungsdatenbank"));
    Row& row = m_rows[std::size_t(m_current)];
    checkRow(row);
    if (m_state == DatasetState::Edit)
        writeUpdate(row);
    else
        writeInsert(row);
    row.original = row.values;
    m_modified = false;
    setState(DatasetState::Browse);
    notify(DatasetEvent::DataSetChanged);
}

namespace {

void bindValue(sqlite3_stmt* stmt, int position, const FieldDef& def, const QVariant& value) {
    const QVariant stored = SqlValue::toStored(def, value);
    switch (stored.typeId()) {
    case QMetaType::UnknownType:
        sqlite3_bind_null(stmt, position);
        break;
    case QMetaType::LongLong:
        sqlite3_bind_int64(stmt, position, stored.toLongLong());
        break;
    case QMetaType::Double:
        sqlite3_bind_double(stmt, position, stored.toDouble());
        break;
    case QMetaType::QByteArray: {
        const QByteArray bytes = stored.toByteArray();
        sqlite3_bind_blob(stmt, position, bytes.constData(), int(bytes.size()), SQLITE_TRANSIENT);
        break;
    }
    default: {
        const QByteArray text = stored.toString().toUtf8();
        sqlite3_bind_text(stmt, position, text.constData(), int(text.size()), SQLITE_TRANSIENT);
        break;
    }
    }
}

// Runs a bound statement that writes; a refusal becomes a message the log book can show.
void runWrite(sqlite3_stmt* stmt, sqlite3* db, const QString& table) {
    const int rc = sqlite3_step(stmt);
    if (rc == SQLITE_DONE)
        return;
    const QString message = QString::fromUtf8(sqlite3_errmsg(db));
    const int code = sqlite3_extended_errcode(db);
    if (code == SQLITE_CONSTRAINT_NOTNULL)
        throw ProgramError(SqlValue::requiredMessage(table, columnOfConstraint(message)));
    if (code == SQLITE_CONSTRAINT_PRIMARYKEY || code == SQLITE_CONSTRAINT_UNIQUE)
        throw ProgramError(SqlValue::duplicateMessage(table, columnOfConstraint(message)));
    throw ProgramError(QStringLiteral("Der Datensatz konnte nicht gespeichert werden: ") + message);
}

} // namespace

void Dataset::writeUpdate(Row& row) {
    std::vector<int> changed;
    for (int i = 0; i < fieldCount(); ++i)
        if (!sameValue(row.values[std::size_t(i)], row.original[std::size_t(i)]))
            changed.push_back(i);
    if (changed.empty())
        return;
    QString sql = QStringLiteral("UPDATE ") + quoteIdentifier(m_table) + QStringLiteral(" SET ");
    for (std::size_t k = 0; k < changed.size(); ++k) {
        if (k > 0)
            sql += QLatin1String(", ");
        sql += quoteIdentifier(m_fields[std::size_t(changed[k])].name) + QLatin1String("=?");
    }
    sql += rowCondition();
    Statement update(m_connection, sql);
    int position = 1;
    for (int i : changed)
        bindValue(update.get(), position++, m_fields[std::size_t(i)], row.values[std::size_t(i)]);
    bindRowCondition(update.get(), position, row);
    runWrite(update.get(), update.db(), m_table);
    if (sqlite3_changes(update.db()) != 1)
        throw ProgramError(QStringLiteral("Der Datensatz wurde nicht gefunden: er wurde inzwischen "
                                          "von einem anderen Programm geändert oder gelöscht"));
    for (int i : changed)
        if (m_fields[std::size_t(i)].autoNumber)
            row.rowid = row.values[std::size_t(i)].toLongLong();
}

void Dataset::writeInsert(Row& row) {
    std::vector<int> given;
    for (int i = 0; i < fieldCount(); ++i)
        if (row.values[std::size_t(i)].isValid())
            given.push_back(i);
    QString sql = QStringLiteral("INSERT INTO ") + quoteIdentifier(m_table);
    if (given.empty()) {
        sql += QLatin1String(" DEFAULT VALUES");
    } else {
        QString names, marks;
        for (std::size_t k = 0; k < given.size(); ++k) {
            if (k > 0) {
                names += QLatin1String(", ");
                marks += QLatin1String(", ");
            }
            names += quoteIdentifier(m_fields[std::size_t(given[k])].name);
            marks += QLatin1Char('?');
        }
        sql +=
            QStringLiteral(" (") + names + QStringLiteral(") VALUES (") + marks + QLatin1Char(')');
    }
    Statement insert(m_connection, sql);
    int position = 1;
    for (int i : given)
        bindValue(insert.get(), position++, m_fields[std::size_t(i)], row.values[std::size_t(i)]);
    runWrite(insert.get(), insert.db(), m_table);
    row.rowid = sqlite3_last_insert_rowid(insert.db());
    refetch(row);
}

// The stored row a row of the dataset stands for: its row number, and its key as it was read.
// The row number alone may meanwhile belong to another row (a table without a numbered key
// hands the number of a deleted last row to the next one added).
QString Dataset::rowCondition() const {
    QString sql = QStringLiteral(" WHERE rowid=?");
    for (const FieldDef& f : m_fields)
        if (f.primaryKey && !f.autoNumber)
            sql += QLatin1String(" AND ") + quoteIdentifier(f.name) + QLatin1String(" IS ?");
    return sql;
}

void Dataset::bindRowCondition(sqlite3_stmt* stmt, int position, const Row& row) const {
    sqlite3_bind_int64(stmt, position++, row.rowid);
    for (int i = 0; i < fieldCount(); ++i)
        if (m_fields[std::size_t(i)].primaryKey && !m_fields[std::size_t(i)].autoNumber)
            bindValue(stmt, position++, m_fields[std::size_t(i)], row.original[std::size_t(i)]);
}

// Reads a stored row back, so that what the table filled in (row number, defaults) shows.
void Dataset::refetch(Row& row) {
    Statement select(m_connection, QStringLiteral("SELECT rowid, * FROM ") +
                                       quoteIdentifier(m_table) + QStringLiteral(" WHERE rowid=?"));
    sqlite3_bind_int64(select.get(), 1, row.rowid);
    if (sqlite3_step(select.get()) == SQLITE_ROW)
        row = readRow(select.get());
}

void Dataset::remove() {
    requireOpen();
    if (m_state == DatasetState::Insert) {
        cancel();
        return;
    }
    requireRow();
    cancel();
    Statement del(m_connection, QStringLiteral("DELETE FROM ") + quoteIdentifier(m_table) + rowCondition());
    bindRowCondition(del.get(), 1, m_rows[std::size_t(m_current)]);
    if (sqlite3_step(del.get()) != SQLITE_DONE)
        throw ProgramError(QStringLiteral("Der Datensatz konnte nicht gelöscht werden: ") +
                           QString::fromUtf8(sqlite3_errmsg(del.db())));
    m_rows.erase(m_rows.begin() + m_current);
    if (m_current >= recordCount())
        m_current = recordCount() - 1;
    m_eof = m_bof = m_rows.empty();
    notify(DatasetEvent::DataSetChanged);
}

// ---------------------------------------------------------------- observers

int Dataset::subscribe(Observer observer) {
    const int id = m_nextObserverId++;
    m_observers.emplace_back(id, std::move(observer));
    return id;
}

void Dataset::unsubscribe(int id) {
    std::erase_if(m_observers, [id](const auto& entry) { return entry.first == id; });
}

void Dataset::notify(DatasetEvent event, int field) {
    const auto observers = m_observers; // an observer may unsubscribe while it is called
    for (const auto& entry : observers)
        if (entry.second)
            entry.second(event, field);
}
