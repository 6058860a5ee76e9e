#include "sqlserver/SqlQuoting.h"

#include <algorithm>

QString SqlQuoting::name(const QString& identifier) {
    QString inner = identifier;
    inner.replace(QLatin1Char(']'), QLatin1String("]]"));
    return QLatin1Char('[') + inner + QLatin1Char(']');
}

QString SqlQuoting::text(const QString& value) {
    QString inner = value;
    inner.replace(QLatin1Char('\''), QLatin1String("''"));
    const bool ascii =
        std::all_of(value.cbegin(), value.cend(), [](QChar c) { return c.unicode() < 0x80; });
    return (ascii ? QLatin1String("'") : QLatin1String("N'")) + inner + QLatin1Char('\'');
}
