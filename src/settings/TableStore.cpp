#include "settings/TableStore.h"

#include "platform/ProgramError.h"
#include "settings/SqlValue.h"
#include "settings/SqliteStatement.h"

#include <sqlcipher/sqlite3.h>

namespace {

QString quoteIdentifier(const QString& name) {
    QString quoted = name;
    quoted.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

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

std::vector<TableStore::Row> TableStore::open(sqlite3* db, const QString& table) {
    close();
    m_db = db;
    try {
        SqliteStatement select(m_db,
                               QStringLiteral("SELECT rowid, * FROM ") + quoteIdentifier(table));
        m_table = table;
        m_fields = readFieldDefs(table);
        if (select.columnCount() != int(m_fields.size()) + 1)
            throw ProgramError(
                QStringLiteral("Die Spalten der Tabelle '%1' können nicht gelesen werden")
                    .arg(table));
        std::vector<Row> rows;
        while (select.step())
            rows.push_back(readRow(select));
        return rows;
    } catch (...) {
        close();
        throw;
    }
}

void TableStore::close() {
    m_db = nullptr;
    m_table.clear();
    m_fields.clear();
}

std::vector<FieldDef> TableStore::readFieldDefs(const QString& table) const {
    SqliteStatement info(m_db, QStringLiteral("PRAGMA table_info(") + quoteIdentifier(table) +
                                   QLatin1Char(')'));
    std::vector<FieldDef> fields;
    int keyColumns = 0;
    while (info.step()) {
        FieldDef def;
        def.name = info.text(1);
        def.declaredType = info.text(2);
        def.required = info.integer(3) != 0;
        def.hasDefault = !info.isNull(4);
        def.primaryKey = info.integer(5) != 0;
        SqlValue::classify(def);
        if (def.primaryKey)
            ++keyColumns;
        fields.push_back(def);
    }
    // A single INTEGER PRIMARY KEY is the row number itself: the table fills it in.
    for (FieldDef& def : fields)
        def.autoNumber =
            keyColumns == 1 && def.primaryKey &&
            def.declaredType.trimmed().compare(QLatin1String("INTEGER"), Qt::CaseInsensitive) == 0;
    return fields;
}

TableStore::Row TableStore::readRow(const SqliteStatement& statement) const {
    Row row;
    row.rowid = statement.integer(0);
    row.values.reserve(m_fields.size());
    for (std::size_t i = 0; i < m_fields.size(); ++i) {
        const QVariant stored = statement.value(int(i) + 1);
        row.values.push_back(stored.isValid() ? SqlValue::fromStored(m_fields[i], stored)
                                              : QVariant());
    }
    row.original = row.values;
    return row;
}

void TableStore::bindValue(SqliteStatement& statement, int position, int field,
                           const QVariant& value) const {
    statement.bind(position, SqlValue::toStored(m_fields[std::size_t(field)], value));
}

// Runs a bound statement that writes; a refusal becomes a message the log book can show.
void TableStore::runWrite(SqliteStatement& statement) const {
    try {
        statement.run();
    } catch (const ProgramError& e) {
        const int code = statement.extendedErrorCode();
        if (code == SQLITE_CONSTRAINT_NOTNULL)
            throw ProgramError(SqlValue::requiredMessage(m_table, columnOfConstraint(e.message())));
        if (code == SQLITE_CONSTRAINT_PRIMARYKEY || code == SQLITE_CONSTRAINT_UNIQUE)
            throw ProgramError(
                SqlValue::duplicateMessage(m_table, columnOfConstraint(e.message())));
        throw ProgramError(QStringLiteral("Der Datensatz konnte nicht gespeichert werden: ") +
                           e.message());
    }
}

void TableStore::update(Row& row) {
    std::vector<int> changed;
    for (std::size_t i = 0; i < m_fields.size(); ++i)
        if (!sameValue(row.values[i], row.original[i]))
            changed.push_back(int(i));
    if (changed.empty())
        return;
    QString sql = QStringLiteral("UPDATE ") + quoteIdentifier(m_table) + QStringLiteral(" SET ");
    for (std::size_t k = 0; k < changed.size(); ++k) {
        if (k > 0)
            sql += QLatin1String(", ");
        sql += quoteIdentifier(m_fields[std::size_t(changed[k])].name) + QLatin1String("=?");
    }
    sql += rowCondition();
    SqliteStatement update(m_db, sql);
    int position = 1;
    for (int i : changed)
        bindValue(update, position++, i, row.values[std::size_t(i)]);
    bindRowCondition(update, position, row);
    runWrite(update);
    if (sqlite3_changes(m_db) != 1)
        throw ProgramError(QStringLiteral("Der Datensatz wurde nicht gefunden: er wurde inzwischen "
                                          "von einem anderen Programm geändert oder gelöscht"));
    for (int i : changed)
        if (m_fields[std::size_t(i)].autoNumber)
            row.rowid = row.values[std::size_t(i)].toLongLong();
}

void TableStore::insert(Row& row) {
    std::vector<int> given;
    for (std::size_t i = 0; i < m_fields.size(); ++i)
        if (row.values[i].isValid())
            given.push_back(int(i));
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
    SqliteStatement insert(m_db, sql);
    int position = 1;
    for (int i : given)
        bindValue(insert, position++, i, row.values[std::size_t(i)]);
    runWrite(insert);
    row.rowid = sqlite3_last_insert_rowid(m_db);
    refetch(row);
}

void TableStore::remove(const Row& row) {
    SqliteStatement del(m_db,
                        QStringLiteral("DELETE FROM ") + quoteIdentifier(m_table) + rowCondition());
    bindRowCondition(del, 1, row);
    try {
        del.run();
    } catch (const ProgramError& e) {
        throw ProgramError(QStringLiteral("Der Datensatz konnte nicht gelöscht werden: ") +
                           e.message());
    }
}

// The stored row a row of the dataset stands for: its row number, and its key as it was read.
// The row number alone may meanwhile belong to another row (a table without a numbered key
// hands the number of a deleted last row to the next one added).
QString TableStore::rowCondition() const {
    QString sql = QStringLiteral(" WHERE rowid=?");
    for (const FieldDef& f : m_fields)
        if (f.primaryKey && !f.autoNumber)
            sql += QLatin1String(" AND ") + quoteIdentifier(f.name) + QLatin1String(" IS ?");
    return sql;
}

void TableStore::bindRowCondition(SqliteStatement& statement, int position, const Row& row) const {
    statement.bind(position++, QVariant(qlonglong(row.rowid)));
    for (std::size_t i = 0; i < m_fields.size(); ++i)
        if (m_fields[i].primaryKey && !m_fields[i].autoNumber)
            bindValue(statement, position++, int(i), row.original[i]);
}

// Reads a stored row back, so that what the table filled in (row number, defaults) shows.
void TableStore::refetch(Row& row) const {
    SqliteStatement select(m_db, QStringLiteral("SELECT rowid, * FROM ") +
                                     quoteIdentifier(m_table) + QStringLiteral(" WHERE rowid=?"));
    select.bind(1, QVariant(qlonglong(row.rowid)));
    // The row is stored by now: when it cannot be read back it keeps the values as typed, rather
    // than leaving the caller to store it a second time.
    try {
        if (select.step())
            row = readRow(select);
    } catch (const ProgramError&) {
    }
}
