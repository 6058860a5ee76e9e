#pragma once

#include <QStringList>

// Empty when `expected` appears in `lines` in this order, other lines allowed between; otherwise
// a message naming the first expected line not found. An expected line starting with '~' matches
// any line that contains the rest; every other one matches only a line equal to it.
inline QString missingInOrder(const QStringList& lines, const QStringList& expected) {
    qsizetype at = 0;
    for (const QString& e : expected) {
        const bool partial = e.startsWith(QLatin1Char('~'));
        const QString want = partial ? e.mid(1) : e;
        auto matches = [&](const QString& line) {
            return partial ? line.contains(want) : line == want;
        };
        while (at < lines.size() && !matches(lines[at]))
            ++at;
        if (at == lines.size())
            return QStringLiteral("\"%1\" missing or out of order in:\n%2")
                .arg(e, lines.join(QLatin1Char('\n')));
        ++at;
    }
    return {};
}
