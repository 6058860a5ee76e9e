#include "ConnectionStringValue.h"

QString quoteConnectionStringValue(const QString& value) {
    const bool needsQuotes = value.contains(QLatin1Char(';')) || value.contains(QLatin1Char('"')) ||
                             value.contains(QLatin1Char('\'')) ||
                             (!value.isEmpty() && (value.front().isSpace() || value.back().isSpace()));
    if (!needsQuotes)
        return value;
    // Prefer the quote the value does not hold, so that nothing needs doubling.
    const QChar quote = value.contains(QLatin1Char('"')) && !value.contains(QLatin1Char('\''))
                            ? QLatin1Char('\'')
                            : QLatin1Char('"');
    QString inner = value;
    inner.replace(quote, QString(2, quote));
    return quote + inner + quote;
}
