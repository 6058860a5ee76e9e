#pragma once

#include <QDateTime>

// Everything that names a day or an hour reads the time through this, so tests can set it.
class Clock {
public:
    virtual ~Clock() = default;
    virtual QDateTime now() const = 0;
};

class SystemClock final : public Clock {
public:
    QDateTime now() const override { return QDateTime::currentDateTime(); }
    static SystemClock& instance();
};
