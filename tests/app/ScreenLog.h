#pragma once

#include <QPlainTextEdit>
#include <QStringList>

#include <algorithm>

// The entries of the screen log without their stamps ("DD.MM.YYYY hh:mm:ss "), newest first as
// the screen shows them, or oldest first as they were written.
inline QStringList screenEntries(const QPlainTextEdit& memo) {
    QStringList out;
    for (const QString& line : memo.toPlainText().split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        out << line.mid(20);
    return out;
}

inline QStringList screenEntriesOldestFirst(const QPlainTextEdit& memo) {
    QStringList out = screenEntries(memo);
    std::reverse(out.begin(), out.end());
    return out;
}
