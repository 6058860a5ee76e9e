#pragma once

#include <QDateTime>
#include <QLocale>
#include <QString>

// Date and time texts as the log book and the report show them.
namespace DateText {
// "DD.MM.YYYY hh:mm:ss": points in the date whatever the region, the regional time separator.
QString screenStamp(const QDateTime& t, const QLocale& locale = QLocale::system());
// The program-wide short date format "dd/MM/yyyy" ('/' = regional date separator), a blank and
// the regional long time format; the time is left out at exactly midnight.
QString shortDateTime(const QDateTime& t, const QLocale& locale = QLocale::system());
// Separators and the long time pattern of a region, as Windows' regional settings would give them.
QChar dateSeparator(const QLocale& locale);
QChar timeSeparator(const QLocale& locale);
QString longTimeFormat(const QLocale& locale);
} // namespace DateText
