#include "app/SingleInstance.h"

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>

#include <unistd.h>

SingleInstance::SingleInstance(const QString& name, QObject* parent) : QObject(parent) {
    // Per user, like a lock local to one logon.
    const QString user = QString::number(static_cast<qulonglong>(::getuid()));
    m_serverName = name + QLatin1Char('-') + user;
    m_lock =
        std::make_unique<QLockFile>(QDir::temp().filePath(m_serverName + QStringLiteral(".lock")));
    m_lock->setStaleLockTime(0); // a crashed instance's lock is stale at once (its pid is gone)
    if (!m_lock->tryLock(0)) {
        m_other = true;
        notifyRunningInstance();
        return;
    }
    QLocalServer::removeServer(m_serverName); // left behind by a crashed instance
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* s = m_server->nextPendingConnection()) {
            connect(s, &QLocalSocket::disconnected, s, &QObject::deleteLater);
            s->disconnectFromServer();
            Q_EMIT raiseRequested();
        }
    });
    m_server->listen(m_serverName);
}

SingleInstance::~SingleInstance() = default;

void SingleInstance::notifyRunningInstance() {
    QLocalSocket socket;
    socket.connectToServer(m_serverName);
    if (socket.waitForConnected(2000))
        socket.disconnectFromServer();
}
