#pragma once

#include "platform/LogSink.h"

#include <QStringList>
#include <functional>

// Records every entry; optionally runs hooks on each entry and when the logic lets the window
// breathe.
class MemoryLog : public LogSink {
public:
    void writelogentry(const QString& entrytext) override {
        lines.append(entrytext);
        if (onEntry)
            onEntry(entrytext);
    }
    void processMessages() override {
        ++processed;
        if (onProcess)
            onProcess();
    }

    QStringList lines;
    int processed = 0;
    std::function<void()> onProcess;
    std::function<void(const QString&)> onEntry;
};
