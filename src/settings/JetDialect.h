#pragma once

#include <QString>

// The schema statements are written in the SQL Server dialect. They are turned into the Jet
// dialect by plain text replacement, and from there into what the SQLite engine under the
// settings file accepts.
namespace JetDialect {

// The four plain, case-sensitive replacements, in this order, over the whole text:
// "dbo." → "", "GETDATE()" → "DATE()", "NTEXT" → "MEMO", "INTEGER IDENTITY(1,1)" → "COUNTER".
QString fromSqlServer(const QString& statement);

// Jet → SQLite: COUNTER becomes the table's auto-numbered row key, MEMO a TEXT column,
// DATE() and NOW() today's date and the current time as stored date-time text. Words are
// matched without regard to case, never inside quoted text.
QString toSqlite(const QString& jetStatement);

} // namespace JetDialect
