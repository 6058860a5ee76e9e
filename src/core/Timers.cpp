#include "core/Timers.h"

#include <QTimer>

namespace {
class QtTimer final : public Timer {
public:
    explicit QtTimer(std::function<void()> onTimeout) {
        m_timer.setSingleShot(true);
        m_timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&m_timer, &QTimer::timeout, &m_timer, std::move(onTimeout));
    }
    void start(int intervalMs) override { m_timer.start(intervalMs); }
    void stop() override { m_timer.stop(); }
    bool isActive() const override { return m_timer.isActive(); }
    int interval() const override { return m_timer.interval(); }

private:
    QTimer m_timer;
};
} // namespace

std::unique_ptr<Timer> QtTimerFactory::createTimer(std::function<void()> onTimeout) {
    return std::make_unique<QtTimer>(std::move(onTimeout));
}
