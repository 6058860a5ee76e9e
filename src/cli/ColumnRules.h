#pragma once

#include <QString>
#include <QStringList>
#include <QVariant>

class Dataset;

// How a command sets one column of a settings row: the checks of the window's controls on top
// of the dataset's own (a value the field's type refuses, text too long, a required column
// left empty, a duplicate name). Every refusal throws ProgramError with the field's message.
namespace ColumnRules {

// The columns that hold passwords: never taken from the command line, left out of an export
// unless asked for.
bool isSecret(const QString& column);
// The columns a command may set in that dataset, in table order (the table's own row number of
// the general settings is none of them).
QStringList settableColumns(Dataset& dataset);
// Throws unless `column` is one of them, with a hint when only its case differs.
void requireKnown(Dataset& dataset, const QString& column);

// Sets the column of the current row, which is being edited. Text as typed at the command line:
// empty clears the column.
void setText(Dataset& dataset, const QString& column, const QString& text);
// A value of the column's type (QString, int, bool) or an invalid QVariant for NULL.
void setValue(Dataset& dataset, const QString& column, const QVariant& value);

} // namespace ColumnRules
