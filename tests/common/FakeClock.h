#pragma once

#include "platform/Clock.h"

// A clock the test sets; each reading may advance it by a fixed step.
class FakeClock : public Clock {
public:
    explicit FakeClock(QDateTime start = {}) : current(std::move(start)) {}
    QDateTime now() const override {
        QDateTime t = current;
        current = current.addMSecs(stepMs);
        return t;
    }

    mutable QDateTime current;
    qint64 stepMs = 0;
};
