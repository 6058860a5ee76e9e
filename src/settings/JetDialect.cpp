#include "settings/JetDialect.h"

#include <QRegularExpression>

namespace JetDialect {

QString fromSqlServer(const QString& statement) {
    QString s = statement;
    s.replace(QLatin1String("dbo."), QString());
    s.replace(QLatin1String("GETDATE()"), QLatin1String("DATE()"));
    s.replace(QLatin1String("NTEXT"), QLatin1String("MEMO"));
    s.replace(QLatin1String("INTEGER IDENTITY(1,1)"), QLatin1String("COUNTER"));
    return s;
}

namespace {

QString translateUnquoted(QString part, bool definesColumns) {
    using RE = QRegularExpression;
    static const RE counter(
        QStringLiteral(R"(\bCOUNTER\b(\s*\(\s*\d+\s*,\s*\d+\s*\))?(\s+PRIMARY\s+KEY\b)?)"),
        RE::CaseInsensitiveOption);
    static const RE memo(QStringLiteral(R"(\bMEMO\b)"), RE::CaseInsensitiveOption);
    static const RE date(QStringLiteral(R"(\bDATE\s*\(\s*\))"), RE::CaseInsensitiveOption);
    static const RE now(QStringLiteral(R"(\bNOW\s*\(\s*\))"), RE::CaseInsensitiveOption);
    // A COUNTER column is the table's key already; a PRIMARY KEY written after it would be a second
    // one.
    part.replace(counter, QStringLiteral("INTEGER PRIMARY KEY AUTOINCREMENT"));
    part.replace(memo, QStringLiteral("TEXT"));
    // Parenthesised, so that they may stand as a column's DEFAULT as well.
    part.replace(date, QStringLiteral("(date('now','localtime')||' 00:00:00')"));
    part.replace(now, QStringLiteral("(datetime('now','localtime'))"));
    if (definesColumns) {
        // Jet compares text without regard to case, so a key "Lager" also blocks "lager".
        static const RE textType(
            QStringLiteral(
                R"(\b((?:N?VAR)?N?CHAR\s*\(\s*\d+\s*\)|TEXT(?:\s*\(\s*\d+\s*\))?))"
                R"((?=\s*(?:[,)]|$|NOT\b|NULL\b|PRIMARY\b|UNIQUE\b|DEFAULT\b|CONSTRAINT\b|REFERENCES\b|CHECK\b)))"),
            RE::CaseInsensitiveOption);
        part.replace(textType, QStringLiteral("\\1 COLLATE NOCASE"));
    }
    return part;
}

} // namespace

QString toSqlite(const QString& jetStatement) {
    static const QRegularExpression columnStatement(
        QStringLiteral(R"(^\s*(CREATE|ALTER)\s+TABLE\b)"),
        QRegularExpression::CaseInsensitiveOption);
    const bool definesColumns = columnStatement.match(jetStatement).hasMatch();
    // Split at single and double quotes so that quoted text and quoted names stay as they are.
    QString result;
    QString plain;
    qsizetype i = 0;
    const qsizetype n = jetStatement.size();
    while (i < n) {
        const QChar c = jetStatement.at(i);
        if (c != QLatin1Char('\'') && c != QLatin1Char('"') && c != QLatin1Char('[')) {
            plain += c;
            ++i;
            continue;
        }
        result += translateUnquoted(plain, definesColumns);
        plain.clear();
        const QChar close = c == QLatin1Char('[') ? QLatin1Char(']') : c;
        qsizetype end = i + 1;
        while (end < n) {
            if (jetStatement.at(end) == close) {
                if (close != QLatin1Char(']') && end + 1 < n && jetStatement.at(end + 1) == close) {
                    end += 2;
                    continue;
                }
                break;
            }
            ++end;
        }
        end = std::min(end + 1, n);
        result += jetStatement.mid(i, end - i);
        i = end;
    }
    result += translateUnquoted(plain, definesColumns);
    return result;
}

} // namespace JetDialect
