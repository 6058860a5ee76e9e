#include "platform/ConnectionString.h"

#include "platform/ProgramError.h"

QString ConnectionString::invalid(const QString& why) {
    return QStringLiteral("Ungültige Verbindungszeichenfolge (invalid connection string): ") + why;
}

QList<ConnectionString::Entry> ConnectionString::split(const QString& text) {
    QList<Entry> entries;
    const qsizetype n = text.size();
    qsizetype i = 0;
    while (i < n) {
        while (i < n && (text[i].isSpace() || text[i] == QLatin1Char(';')))
            ++i;
        if (i >= n)
            break;

        const qsizetype eq = text.indexOf(QLatin1Char('='), i);
        const qsizetype semi = text.indexOf(QLatin1Char(';'), i);
        if (eq < 0 || (semi >= 0 && semi < eq))
            throw ProgramError(invalid(QStringLiteral("Eintrag ohne '=' an Stelle %1").arg(i + 1)));
        const QString key = text.mid(i, eq - i).trimmed().toLower();
        if (key.isEmpty())
            throw ProgramError(invalid(QStringLiteral("Wert ohne Schlüssel")));
        i = eq + 1;
        while (i < n && text[i].isSpace() && text[i] != QLatin1Char(';'))
            ++i;

        QString value;
        if (i < n && (text[i] == QLatin1Char('"') || text[i] == QLatin1Char('\''))) {
            const QChar quote = text[i++];
            bool closed = false;
            while (i < n) {
                if (text[i] == quote) {
                    if (i + 1 < n && text[i + 1] == quote) {
                        value += quote;
                        i += 2;
                        continue;
                    }
                    ++i;
                    closed = true;
                    break;
                }
                value += text[i++];
            }
            if (!closed)
                throw ProgramError(invalid(
                    QStringLiteral("Anführungszeichen beim Schlüssel \"%1\" nicht geschlossen")
                        .arg(key)));
            while (i < n && text[i].isSpace())
                ++i;
            if (i < n && text[i] != QLatin1Char(';'))
                throw ProgramError(
                    invalid(QStringLiteral(
                                "Zeichen nach dem Wert in Anführungszeichen beim Schlüssel \"%1\"")
                                .arg(key)));
        } else {
            const qsizetype end = semi < 0 ? n : semi;
            value = text.mid(i, end - i).trimmed();
            i = end;
        }
        entries.append({key, value});
    }
    return entries;
}

QString ConnectionString::quoteValue(const QString& value) {
    const bool needsQuotes =
        value.contains(QLatin1Char(';')) || value.contains(QLatin1Char('"')) ||
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
