#include "platform/DateText.h"

namespace {
QChar firstSeparator(const QString& pattern, QChar fallback) {
    bool inQuote = false;
    for (QChar c : pattern) {
        if (c == QLatin1Char('\''))
            inQuote = !inQuote;
        else if (!inQuote && (c == QLatin1Char('.') || c == QLatin1Char('/') ||
                              c == QLatin1Char('-') || c == QLatin1Char(':')))
            return c;
    }
    return fallback;
}
} // namespace

QChar DateText::dateSeparator(const QLocale& locale) {
    return firstSeparator(locale.dateFormat(QLocale::ShortFormat), QLatin1Char('/'));
}

QChar DateText::timeSeparator(const QLocale& locale) {
    return firstSeparator(locale.timeFormat(QLocale::LongFormat), QLatin1Char(':'));
}

QString DateText::longTimeFormat(const QLocale& locale) {
    // Qt's long format names the time zone ("t"); the regional long time format does not.
    QString pattern = locale.timeFormat(QLocale::LongFormat);
    QString out;
    bool inQuote = false;
    for (QChar c : pattern) {
        if (c == QLatin1Char('\''))
            inQuote = !inQuote;
        if (!inQuote && c == QLatin1Char('t'))
            continue;
        out.append(c);
    }
    out = out.trimmed();
    return out.isEmpty() ? QStringLiteral("HH:mm:ss") : out;
}

QString DateText::screenStamp(const QDateTime& t, const QLocale& locale) {
    const QString sep = timeSeparator(locale);
    return t.toString(QStringLiteral("dd.MM.yyyy ")) +
           t.toString(QStringLiteral("HH'%1'mm'%1'ss").arg(sep));
}

QString DateText::shortDateTime(const QDateTime& t, const QLocale& locale) {
    const QString sep = dateSeparator(locale);
    QString text = t.toString(QStringLiteral("dd'%1'MM'%1'yyyy").arg(sep));
    if (t.time() != QTime(0, 0))
        text += QLatin1Char(' ') + locale.toString(t.time(), longTimeFormat(locale));
    return text;
}
