#pragma once

#include <QString>

// Where the logic classes report what they do: the log book of the main window in the
// program, a recording sink in the tests.
class LogSink {
public:
    virtual ~LogSink() = default;
    // One stamped entry on screen and in the day file; never throws.
    virtual void writelogentry(const QString& entrytext) = 0;
    // Lets the window handle what is waiting (repaint, input, timers) between steps.
    virtual void processMessages() {}
};
