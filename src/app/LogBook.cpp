#include "LogBook.h"

#include "Clock.h"
#include "DateText.h"
#include "Encoding.h"

#include <QCoreApplication>
#include <QFile>
#include <QPlainTextEdit>
#include <QTextCursor>

#include <cstdio>

LogBook::LogBook(QPlainTextEdit* screen, const Clock& clock) : m_screen(screen), m_clock(clock) {}

void LogBook::writelogentry(const QString& entrytext) {
    const QString line = DateText::screenStamp(m_clock.now()) + QLatin1Char(' ') + entrytext;

    if (m_screen) {
        // Newest on top. Inserting at the start touches only the first block, so the cost of an
        // entry does not grow with the lines already there.
        QTextCursor cursor(m_screen->document());
        cursor.movePosition(QTextCursor::Start);
        const bool empty = m_screen->document()->isEmpty();
        cursor.insertText(empty ? line : line + QLatin1Char('\n'));
    }
    if (m_echo) {
        const QByteArray out = line.toUtf8() + '\n';
        std::fwrite(out.constData(), 1, static_cast<size_t>(out.size()), stdout);
        std::fflush(stdout);
    }

    processMessages();
    appendToDayFile(entrytext);
}

void LogBook::processMessages() {
    if (m_pump)
        m_pump();
    else if (QCoreApplication::instance())
        QCoreApplication::processEvents();
}

QString LogBook::dayFileName(const QDate& date) const {
    return m_logFolder + date.toString(QStringLiteral("yyyy_MM_dd")) + QStringLiteral(".txt");
}

void LogBook::appendToDayFile(const QString& entrytext) {
    // Every failure here is silent: the entry then stands on screen only.
    if (m_logFolder.isEmpty())
        return;
    QFile file(dayFileName(m_clock.now().date()));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return;
    QString text = DateText::shortDateTime(m_clock.now()) + QLatin1Char(' ') + entrytext;
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    file.write(Encoding::toWindows1252(text) + "\r\n");
    file.close();
}
