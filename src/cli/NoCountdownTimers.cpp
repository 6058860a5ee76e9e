#include "cli/NoCountdownTimers.h"

#include "core/ProgramCore.h"

namespace {
class NoCountdownTimer final : public Timer {
public:
    explicit NoCountdownTimer(std::unique_ptr<Timer> timer) : m_timer(std::move(timer)) {}
    void start(int intervalMs) override {
        m_interval = intervalMs;
        const bool windowWait = intervalMs == ProgramCore::kPreparationDelayMs ||
                                intervalMs == ProgramCore::kCountdownMs;
        m_timer->start(windowWait ? 0 : intervalMs);
    }
    void stop() override { m_timer->stop(); }
    bool isActive() const override { return m_timer->isActive(); }
    int interval() const override { return m_interval; }

private:
    std::unique_ptr<Timer> m_timer;
    int m_interval = 0;
};
} // namespace

std::unique_ptr<Timer> NoCountdownTimers::createTimer(std::function<void()> onTimeout) {
    return std::make_unique<NoCountdownTimer>(m_qt.createTimer(std::move(onTimeout)));
}
