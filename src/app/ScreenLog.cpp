#include "app/ScreenLog.h"

#include <QPlainTextEdit>
#include <QTextCursor>

void ScreenLog::showEntry(const QString& line) {
    // Newest on top. Inserting at the start touches only the first block, so the cost of an
    // entry does not grow with the lines already there.
    QTextCursor cursor(m_memo->document());
    cursor.movePosition(QTextCursor::Start);
    const bool empty = m_memo->document()->isEmpty();
    cursor.insertText(empty ? line : line + QLatin1Char('\n'));
}

void ScreenLog::clearEntries() {
    m_memo->clear();
}
