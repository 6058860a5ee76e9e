#pragma once

#include "settings/FieldDef.h"

#include <QDateTime>
#include <QString>
#include <QVariant>
#include <optional>

// How the values of the settings tables are typed, stored and shown.
namespace SqlValue {

// Sets type and size from the declared column type ("nvarchar(50)", "BIT", "INTEGER", …).
void classify(FieldDef& def);

// A value as the table holds it (qlonglong, double, QString or QByteArray) into the field's type.
QVariant fromStored(const FieldDef& def, const QVariant& stored);
// A value given by the program into the field's type; throws ProgramError when it does not fit.
QVariant toFieldValue(const FieldDef& def, const QVariant& value);
// A field value into what is written: invalid (NULL), qlonglong, double, QByteArray or QString.
QVariant toStored(const FieldDef& def, const QVariant& value);

QString displayText(const FieldDef& def, const QVariant& value);
std::optional<bool> toBoolean(const QVariant& value);

// Date-times are stored as local time "yyyy-MM-dd HH:mm:ss" (".zzz" when there are
// milliseconds): the text sorts like the time and reads back exactly.
QString formatDateTime(const QDateTime& value);
QDateTime parseDateTime(const QString& text); // invalid when the text is no date

QString requiredMessage(const QString& table, const QString& column);
QString duplicateMessage(const QString& table, const QString& column);
QString tooLongMessage(const QString& table, const QString& column, int size);

} // namespace SqlValue
