#pragma once

#include "platform/LogSink.h"

#include <QDate>
#include <QString>
#include <QStringList>
#include <functional>

class Clock;

// Shows the log book's entries; the window's screen log implements it.
class LogView {
public:
    virtual ~LogView() = default;
    // A new stamped line, to go on top.
    virtual void showEntry(const QString& line) = 0;
    virtual void clearEntries() = 0;
};

// The log book: each entry is stamped, kept for the report, shown on top of the screen log and
// appended to the day file.
class LogBook : public LogSink {
public:
    explicit LogBook(const Clock& clock);

    void setView(LogView* view) { m_view = view; }
    void setLogFolder(const QString& folder) { m_logFolder = folder; }
    const QString& logFolder() const { return m_logFolder; }
    // Unattended runs without a display also print every entry to standard output.
    void setEchoToStdout(bool on) { m_echo = on; }
    // Replaces the default message processing (tests use this to observe or to re-enter).
    void setMessagePump(std::function<void()> pump) { m_pump = std::move(pump); }

    void writelogentry(const QString& entrytext) override;
    void processMessages() override;

    // The screen log's lines, stamp and text, oldest first.
    const QStringList& lines() const { return m_lines; }
    // The screen text as the window shows it: newest first, one line per entry.
    QString screenText() const;
    // Empties the screen log; the day files keep what they have.
    void clearScreen();

    // The day file for a date: log folder + "YYYY_MM_DD.txt".
    QString dayFileName(const QDate& date) const;

private:
    void showOnScreen(const QString& entrytext);

    const Clock& m_clock;
    LogView* m_view = nullptr;
    QString m_logFolder;
    QStringList m_lines;
    bool m_echo = false;
    QString m_refusedDayFile; // the day file last refused as a link, said once
    std::function<void()> m_pump;
};
