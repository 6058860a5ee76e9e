#pragma once

#include <QString>
#include <memory>

class QLockFile;

// A lock file that one running program holds for as long as it lives. Taken at once or not at
// all; a lock left by a program that died is taken over (its process is gone). Both front ends
// use it: the per-user one-instance guard, and the lock of a program folder that the window
// holds while it keeps the settings in memory.
class InstanceLock {
public:
    // Tries to take the lock at `path` at once.
    explicit InstanceLock(const QString& path);
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    bool held() const { return m_held; }
    // Not held because another program holds it (rather than a folder that cannot be written).
    bool heldByAnother() const { return m_heldByAnother; }
    const QString& path() const { return m_path; }
    // When another program holds the lock: its application name and process id, as it wrote
    // them; empty and 0 when they cannot be read.
    const QString& holderName() const { return m_holderName; }
    qint64 holderPid() const { return m_holderPid; }

    // One instance per user and name: "<name>-<uid>.lock" in the temporary folder.
    static QString perUserPath(const QString& name);
    // The lock of a program folder (ending in '/'): whoever holds it may change its settings.
    static QString programFolderPath(const QString& programFolder);
    static const QString programFolderLockName; // "OrvelSQLBackup.lock"

private:
    std::unique_ptr<QLockFile> m_lock;
    QString m_path;
    bool m_held = false;
    bool m_heldByAnother = false;
    QString m_holderName;
    qint64 m_holderPid = 0;
};
