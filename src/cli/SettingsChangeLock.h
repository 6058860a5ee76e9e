#pragma once

#include "core/InstanceLock.h"

#include <QString>

// Held while a command changes the settings of a program folder. The window holds the same lock
// for as long as it runs, since it keeps the settings in memory and would write an old row back
// over a change made meanwhile; a run holds it too. Then the change is refused.
class SettingsChangeLock {
public:
    explicit SettingsChangeLock(const QString& programFolder);

    bool held() const { return m_lock.held(); }
    // Why the change is refused, for the user; empty when the lock is held.
    QString refusal() const;

private:
    InstanceLock m_lock;
};
