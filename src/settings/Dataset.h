#pragma once

#include "settings/FieldDef.h"
#include "settings/TableStore.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <functional>
#include <vector>

class SettingsConnection;
class Dataset;

enum class DatasetState {
    Inactive, // closed
    Browse,   // open, no pending change
    Edit,     // the current row is being edited
    Insert,   // a new row is being filled in, not yet stored
};

// What changed, for whoever shows the dataset (the window's bound controls).
enum class DatasetEvent {
    DataSetChanged, // opened, closed, rows added or removed, current row replaced after a store
    Scrolled,       // another row became the current row
    StateChanged,   // browse / edit / insert / inactive
    FieldChanged,   // a value of the current row was set (the index of the field comes along)
};

// A handle on one field of the current row. Cheap to copy; valid while the dataset stays open.
class Field {
public:
    Field(Dataset* dataset, int index) : m_dataset(dataset), m_index(index) {}

    const FieldDef& def() const;
    QString name() const { return def().name; }
    FieldType type() const { return def().type; }
    int size() const { return def().size; }
    int index() const { return m_index; }

    // The value of the current row: an invalid QVariant for NULL; QString, int (qlonglong
    // when it does not fit), bool or QDateTime by the field's type.
    QVariant value() const;
    bool isNull() const;
    QString asString() const;     // NULL reads as ""
    int asInteger() const;        // NULL (or not a number) reads as 0
    bool asBoolean() const;       // NULL reads as false
    QDateTime asDateTime() const; // NULL reads as an invalid QDateTime

    // Only in the states edit and insert; converts to the field's type and throws ProgramError
    // when the value does not fit it (text into an integer field, …). An invalid QVariant
    // stores NULL; an empty QString stores an empty text.
    void setValue(const QVariant& value);
    // As a cleared edit control does: an empty text stores NULL.
    void setAsString(const QString& text);
    void clear(); // NULL

private:
    Dataset* m_dataset;
    int m_index;
};

// A whole table read into memory, with a current row, that is edited and stored row by row.
// Opened from "select * FROM <table>". Every failure is thrown as ProgramError.
class Dataset {
public:
    using Hook = std::function<void(Dataset&)>;
    using Observer = std::function<void(DatasetEvent event, int field)>;

    Dataset() = default;
    explicit Dataset(QString sql) : m_sql(std::move(sql)) {}
    ~Dataset();
    Dataset(const Dataset&) = delete;
    Dataset& operator=(const Dataset&) = delete;

    void setConnection(SettingsConnection* connection);
    SettingsConnection* connection() const { return m_connection; }
    void setSQL(const QString& sql) { m_sql = sql; }
    const QString& sql() const { return m_sql; }
    QString tableName() const; // the table named by the SQL text

    // Reads the whole table; the first row becomes current. Opens the connection when it is
    // closed. Throws ProgramError when the table cannot be read; the dataset stays closed then.
    void open();
    // Drops pending changes and the rows.
    void close();
    bool isOpen() const { return m_state != DatasetState::Inactive; }
    DatasetState state() const { return m_state; }
    // A pending edit or new row (state edit or insert).
    bool hasPendingChanges() const {
        return m_state == DatasetState::Edit || m_state == DatasetState::Insert;
    }
    // A value was set since the edit or the new row began (defaults of the new-row hook excepted).
    bool modified() const { return m_modified; }

    // Rows and the current row. Moving first stores a pending change that was modified and
    // drops one that was not (so a new row that got only its defaults disappears).
    int recordCount() const { return int(m_rows.size()); }
    bool isEmpty() const { return m_rows.empty(); }
    int recNo() const { return m_current; } // index of the current row, -1 when there is none
    bool eof() const { return m_eof; }      // moved past the last row, or no rows
    bool bof() const { return m_bof; }
    void first();
    void last();
    void next();
    void prior();
    void moveTo(int row); // row as counted while a new row is pending; the current row: no change

    // Columns.
    int fieldCount() const { return int(m_store.fields().size()); }
    const FieldDef& fieldDef(int index) const { return m_store.fields().at(std::size_t(index)); }
    QStringList fieldNames() const;
    int fieldIndex(const QString& name) const; // case-insensitive, -1 when missing
    Field field(const QString& name);          // throws ProgramError when missing
    Field field(int index);
    QVariant value(const QString& name) const; // current row; invalid QVariant for NULL or no row
    // Any row's value, for lists that show every row; invalid QVariant for NULL or out of range.
    QVariant rowValue(int row, int field) const;
    void setValue(const QString& name, const QVariant& value);

    // Editing.
    void edit();   // on an empty dataset this starts a new row instead
    void append(); // a new row at the end
    void insert(); // a new row before the current one
    // Stores the pending row: the before-post hook first (it may throw to refuse), then the
    // checks a Jet table makes (required text not empty, text within the column's size), then
    // one UPDATE or INSERT. A refusal throws ProgramError and leaves the row as it was typed,
    // still in edit or insert.
    void post();
    void cancel();
    void remove(); // deletes the current row from the table at once

    // Hooks: called with the dataset; both may throw ProgramError to refuse.
    Hook onNewRecord; // a new row has begun (its defaults are set here)
    Hook onBeforePost;

    // Observers for the window's bindings.
    int subscribe(Observer observer);
    void unsubscribe(int id);

private:
    friend class Field;
    friend class SettingsConnection;

    using Row = TableStore::Row;

    void requireOpen() const;
    void requireRow() const;
    void requireEditing() const;
    void setFieldValue(int index, const QVariant& value);
    void checkRow(const Row& row) const;
    void beginNewRow(bool atEnd);
    void checkBrowseMode();
    void setState(DatasetState state);
    void moveCurrent(int row);
    void notify(DatasetEvent event, int field = -1);
    void connectionClosing();

    SettingsConnection* m_connection = nullptr;
    QString m_sql;
    TableStore m_store; // the table's columns and its reading and writing
    std::vector<Row> m_rows;
    int m_current = -1;
    int m_rowBeforeInsert = -1;
    bool m_eof = true;
    bool m_bof = true;
    bool m_modified = false;
    DatasetState m_state = DatasetState::Inactive;
    std::vector<std::pair<int, Observer>> m_observers;
    int m_nextObserverId = 1;
};
