#pragma once

#include <functional>
#include <memory>

// A one-shot timer. The program's timers come through this, so tests fire them at once.
class Timer {
public:
    virtual ~Timer() = default;
    virtual void start(int intervalMs) = 0;
    virtual void stop() = 0;
    virtual bool isActive() const = 0;
    virtual int interval() const = 0;
};

class TimerFactory {
public:
    virtual ~TimerFactory() = default;
    virtual std::unique_ptr<Timer> createTimer(std::function<void()> onTimeout) = 0;
};

// Qt's timers of the calling thread, precise: a coarse timer may fire up to 5 % early.
class QtTimerFactory final : public TimerFactory {
public:
    std::unique_ptr<Timer> createTimer(std::function<void()> onTimeout) override;
};
