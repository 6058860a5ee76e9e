#pragma once

#include <QList>
#include <QString>

// OLE DB style connection strings: "Key=value;Key='quoted; value';…".
namespace ConnectionString {

struct Entry {
    QString key; // trimmed, lower case
    QString value;
};

// The entries in their order. Blanks and empty pairs between ';' are allowed; a value in single
// or double quotes may hold ';' and its quote doubled. A malformed string throws ProgramError
// naming the place, never the text: it may be part of a password.
QList<Entry> split(const QString& text);

// A value as it may stand in such a string: as it is when it can, otherwise in quotes, so that
// a ';' or a quote in a path or a password cannot cut the string short or change its meaning.
QString quoteValue(const QString& value);

// The text every parse error starts with.
QString invalid(const QString& why);

} // namespace ConnectionString
