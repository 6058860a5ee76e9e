#pragma once

#include <QByteArray>
#include <QString>

namespace Encoding {
// Windows-1252 bytes for the text. A character it does not hold becomes a similar one where
// there is one (Ł → L, ő → o), else '?'; the result does not depend on the process's locale.
QByteArray toWindows1252(const QString& text);
// The text of Windows-1252 bytes; the five bytes it leaves unassigned keep their own code point.
QString fromWindows1252(const QByteArray& bytes);
} // namespace Encoding
