#pragma once

#include <QString>

// Names and values go into T-SQL text only through these, so that a database called
// Lag'er]1 or a program folder with an apostrophe neither breaks nor changes a statement.
namespace SqlQuoting {

// A delimited identifier: [name] with every ']' doubled.
QString name(const QString& identifier);

// A character literal: 'text' with every '\'' doubled. Text beyond ASCII becomes a Unicode
// literal N'text': a plain literal is converted to the server's code page, which would turn
// a name like "Łódź" into "??d?" and miss the database.
QString text(const QString& value);

} // namespace SqlQuoting
