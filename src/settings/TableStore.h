#pragma once

#include "settings/FieldDef.h"

#include <QString>
#include <QVariant>
#include <vector>

struct sqlite3;
class SqliteStatement;

// One table of the settings file, read whole and written back one row at a time. It keeps the
// table's columns; the rows belong to the caller. Every failure is thrown as ProgramError.
class TableStore {
public:
    struct Row {
        std::vector<QVariant> values;
        std::vector<QVariant> original; // as read: for cancel, what changed and the stored key
        qint64 rowid = 0;
    };

    // Reads the columns and every row of the table; the handle must stay open until close().
    // On failure the store stays closed.
    std::vector<Row> open(sqlite3* db, const QString& table);
    void close();

    const QString& table() const { return m_table; }
    const std::vector<FieldDef>& fields() const { return m_fields; }

    // Writes the values that differ from the ones read. Throws when the stored row is no longer
    // there (another program changed its key or deleted it).
    void update(Row& row);
    // Writes the given values; the row then holds what the table filled in (row number,
    // defaults).
    void insert(Row& row);
    // Deletes the stored row the row was read from.
    void remove(const Row& row);

private:
    std::vector<FieldDef> readFieldDefs(const QString& table) const;
    Row readRow(const SqliteStatement& statement) const;
    QString rowCondition() const;
    void bindRowCondition(SqliteStatement& statement, int position, const Row& row) const;
    void bindValue(SqliteStatement& statement, int position, int field,
                   const QVariant& value) const;
    void runWrite(SqliteStatement& statement) const;
    void refetch(Row& row) const;

    sqlite3* m_db = nullptr;
    QString m_table;
    std::vector<FieldDef> m_fields;
};
