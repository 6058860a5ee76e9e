#pragma once

#include <QByteArray>
#include <QString>

namespace Encoding {
// Windows-1252 bytes for the text; characters it cannot hold become '?'.
QByteArray toWindows1252(const QString& text);
// The text of Windows-1252 bytes; the five bytes it leaves unassigned keep their own code point.
QString fromWindows1252(const QByteArray& bytes);
} // namespace Encoding
