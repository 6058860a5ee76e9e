#pragma once

#include "platform/LogSink.h"

#include <QStringList>

// Keeps the lines the settings layer logs while a command opens the settings file; they are
// shown only when the opening fails.
class CollectingLog final : public LogSink {
public:
    void writelogentry(const QString& entrytext) override { m_lines.append(entrytext); }
    const QStringList& lines() const { return m_lines; }

private:
    QStringList m_lines;
};
