#pragma once

#include "core/Timers.h"

#include <QList>

// Timers that never run by themselves: a test looks at them and fires them when it wants.
class FakeTimers : public TimerFactory {
public:
    class FakeTimer : public Timer {
    public:
        explicit FakeTimer(std::function<void()> onTimeout) : m_onTimeout(std::move(onTimeout)) {}
        void start(int intervalMs) override {
            m_interval = intervalMs;
            m_active = true;
        }
        void stop() override { m_active = false; }
        bool isActive() const override { return m_active; }
        int interval() const override { return m_interval; }
        // As the event loop would: only an active timer fires.
        bool fire() {
            if (!m_active)
                return false;
            m_active = false;
            m_onTimeout();
            return true;
        }

    private:
        std::function<void()> m_onTimeout;
        int m_interval = 0;
        bool m_active = false;
    };

    std::unique_ptr<Timer> createTimer(std::function<void()> onTimeout) override {
        auto timer = std::make_unique<FakeTimer>(std::move(onTimeout));
        created.append(timer.get());
        return timer;
    }

    // The core creates the start preparation's timer first, then the countdown's.
    FakeTimer& preparation() { return *created.at(0); }
    FakeTimer& countdown() { return *created.at(1); }

    QList<FakeTimer*> created;
};
