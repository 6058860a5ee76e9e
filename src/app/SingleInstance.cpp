#include "app/SingleInstance.h"

#include "core/InstanceLock.h"

#include <QLocalServer>
#include <QLocalSocket>

#include <unistd.h>

SingleInstance::SingleInstance(const QString& name, QObject* parent) : QObject(parent) {
    m_lock = std::make_unique<InstanceLock>(InstanceLock::perUserPath(name));
    m_serverName = name + QLatin1Char('-') + QString::number(static_cast<qulonglong>(::getuid()));
    if (!m_lock->held()) {
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
