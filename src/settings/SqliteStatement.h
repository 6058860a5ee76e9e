#pragma once

#include <QDeadlineTimer>
#include <QString>
#include <QVariant>

struct sqlite3;
struct sqlite3_stmt;

// One prepared statement on an open settings file, finalized on every way out. Every failure is
// thrown as ProgramError with the connection's own message.
class SqliteStatement {
public:
    enum class Text {
        AnyTail,      // what follows the first statement is ignored (texts the program builds)
        OneStatement, // a text given from outside: a second statement is refused, not ignored
    };

    explicit SqliteStatement(sqlite3* db) : m_db(db) {}
    SqliteStatement(sqlite3* db, const QString& sql, Text text = Text::AnyTail);
    ~SqliteStatement();
    SqliteStatement(const SqliteStatement&) = delete;
    SqliteStatement& operator=(const SqliteStatement&) = delete;

    void prepare(const QString& sql, Text text = Text::AnyTail);

    // From now on a step that runs past the given seconds is interrupted; 0 or less: no limit.
    void limitTime(int seconds);

    // Values in the forms the settings tables store (see SqlValue::toStored): an invalid QVariant
    // binds NULL, qlonglong an integer, double a real, QByteArray a blob, anything else text.
    // Positions count from 1.
    void bind(int position, const QVariant& value);

    // True when a row is ready, false when the statement is done.
    bool step();
    // Steps to the end, passing over any rows.
    void run();

    // Columns of the current row, counted from 0.
    int columnCount() const;
    // NULL as an invalid QVariant, else qlonglong, double, QByteArray or QString.
    QVariant value(int column) const;
    QString text(int column) const; // NULL reads as ""
    qint64 integer(int column) const;
    bool isNull(int column) const;

    // How the last prepare or step ended, as SQLite's primary result code: SQLITE_OK when it
    // went through (a row or the end), SQLITE_ERROR for a text that was empty or held more than
    // one statement, SQLITE_INTERRUPT for a time-out, the file's code (busy, locked, …) otherwise.
    int resultCode() const { return m_resultCode; }
    // The connection's extended code of the last failure (which constraint refused a write, …).
    int extendedErrorCode() const;
    sqlite3* db() const { return m_db; }

private:
    [[noreturn]] void fail(int code, const QString& message);
    QString connectionMessage() const;

    sqlite3* m_db;
    sqlite3_stmt* m_stmt = nullptr;
    int m_resultCode = 0;
    bool m_timed = false;
    QDeadlineTimer m_deadline;
};
