#pragma once

#include <QObject>
#include <QString>
#include <memory>

class InstanceLock;
class QLocalServer;

// One running instance per user and name. The first instance holds a lock file and listens on a
// local socket; a later one finds the lock taken and asks the first to bring its window forward.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    explicit SingleInstance(const QString& name, QObject* parent = nullptr);
    ~SingleInstance() override;

    // True when another instance already runs (it has been asked to come to the front).
    bool anotherInstanceRuns() const { return m_other; }

Q_SIGNALS:
    // A later instance asked this one to show its window.
    void raiseRequested();

private:
    void notifyRunningInstance();

    QString m_serverName;
    std::unique_ptr<InstanceLock> m_lock;
    QLocalServer* m_server = nullptr;
    bool m_other = false;
};
