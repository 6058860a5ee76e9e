#pragma once

#include <QtGlobal>

// Failed steps of the current backup run: reset at the start of a run, never lowered.
class ErrorCount {
public:
    void reset() { m_value = 0; }
    void add(qint32 n = 1) { m_value += n; }
    qint32 value() const { return m_value; }

private:
    qint32 m_value = 0;
};
