#pragma once

#include <QByteArray>
#include <QString>

namespace Encoding {
// Windows-1252 bytes for the text; characters it cannot hold become '?'.
QByteArray toWindows1252(const QString& text);
} // namespace Encoding
