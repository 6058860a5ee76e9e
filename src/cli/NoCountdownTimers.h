#pragma once

#include "core/Timers.h"

// The program's timers without the wait for a window: the start preparation and the automatic
// run follow at once, since nobody could click a countdown notice. Every other wait (the run
// waiting for a step that is still busy) keeps its length.
class NoCountdownTimers final : public TimerFactory {
public:
    std::unique_ptr<Timer> createTimer(std::function<void()> onTimeout) override;

private:
    QtTimerFactory m_qt;
};
