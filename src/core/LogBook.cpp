#include "core/LogBook.h"

#include "core/DayFile.h"
#include "platform/Clock.h"
#include "platform/DateText.h"

#include <QCoreApplication>

#include <cstdio>

LogBook::LogBook(const Clock& clock) : m_clock(clock) {}

void LogBook::writelogentry(const QString& entrytext) {
    showOnScreen(entrytext);
    processMessages();
    // Every failure of the file part is silent: the entry then stands on screen only.
    // File name and file stamp are readings of their own, in this order.
    if (!m_logFolder.isEmpty()) {
        const QString fileName = dayFileName(m_clock.now().date());
        QString linkRefused;
        if (!DayFile::append(fileName, m_clock.now(), entrytext, &linkRefused) &&
            !linkRefused.isEmpty() && fileName != m_refusedDayFile) {
            // Save for a link planted in place of the day file: that is said once, on screen.
            m_refusedDayFile = fileName;
            showOnScreen(QStringLiteral("FEHLER: ") + linkRefused);
        }
    }
}

void LogBook::showOnScreen(const QString& entrytext) {
    const QString line = DateText::screenStamp(m_clock.now()) + QLatin1Char(' ') + entrytext;
    m_lines.append(line);
    if (m_view)
        m_view->showEntry(line);
    if (m_echo) {
        const QByteArray out = line.toUtf8() + '\n';
        std::fwrite(out.constData(), 1, static_cast<size_t>(out.size()), stdout);
        std::fflush(stdout);
    }
}

void LogBook::processMessages() {
    if (m_pump)
        m_pump();
    else if (QCoreApplication::instance())
        QCoreApplication::processEvents();
}

QString LogBook::screenText() const {
    QStringList newestFirst;
    newestFirst.reserve(m_lines.size());
    for (auto it = m_lines.crbegin(); it != m_lines.crend(); ++it)
        newestFirst.append(*it);
    return newestFirst.join(QLatin1Char('\n'));
}

void LogBook::clearScreen() {
    m_lines.clear();
    if (m_view)
        m_view->clearEntries();
}

QString LogBook::dayFileName(const QDate& date) const {
    return m_logFolder + date.toString(QStringLiteral("yyyy_MM_dd")) + QStringLiteral(".txt");
}
