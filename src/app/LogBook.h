#pragma once

#include "LogSink.h"

#include <QDate>
#include <QString>
#include <functional>

class Clock;
class QPlainTextEdit;

// The log book: each entry goes on top of the screen log and at the end of the day file.
class LogBook : public LogSink {
public:
    LogBook(QPlainTextEdit* screen, const Clock& clock);

    void setScreen(QPlainTextEdit* screen) { m_screen = screen; }
    void setLogFolder(const QString& folder) { m_logFolder = folder; }
    const QString& logFolder() const { return m_logFolder; }
    // Unattended runs without a display also print every entry to standard output.
    void setEchoToStdout(bool on) { m_echo = on; }
    // Replaces the default message processing (tests use this to observe or to re-enter).
    void setMessagePump(std::function<void()> pump) { m_pump = std::move(pump); }

    void writelogentry(const QString& entrytext) override;
    void processMessages() override;

    // The day file for a date: log folder + "YYYY_MM_DD.txt".
    QString dayFileName(const QDate& date) const;

private:
    void appendToDayFile(const QString& entrytext);

    QPlainTextEdit* m_screen;
    const Clock& m_clock;
    QString m_logFolder;
    bool m_echo = false;
    std::function<void()> m_pump;
};
