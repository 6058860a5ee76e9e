#pragma once

#include "ScriptServer.h"

#include <QFile>
#include <QJsonObject>
#include <QTemporaryDir>

#include <memory>

// tests/servers/sftp_server.py, our SSH / SFTP server (asyncssh), on a free loopback port for
// one test. The folder the session sees as "/" and the host keys are temporary folders this
// runner owns; both outlive a restart, so a test can restart the server with the same or
// another key.
class SftpTestServer {
public:
    // User backup / "geheim", password login. The keys the server knows are listed at the top
    // of sftp_server.py (auth, refuse_setstat, drop_after_bytes, ...).
    static QJsonObject defaultScenario() {
        return QJsonObject{{QStringLiteral("user"), QStringLiteral("backup")},
                           {QStringLiteral("password"), QStringLiteral("geheim")}};
    }

    // Writes the scenario, starts the server and waits up to 10 s for its port. The scenario's
    // home is home() and its host key hostKeyFile() unless it names others.
    bool start(QJsonObject scenario) {
        m_server.stop();
        if (!scenario.contains(QStringLiteral("home")))
            scenario[QStringLiteral("home")] = home();
        if (!scenario.contains(QStringLiteral("host_key")))
            scenario[QStringLiteral("host_key")] = hostKeyFile();
        return m_server.start(scenario,
                              {QStringLiteral("--scenario"), QStringLiteral("{scenario}"),
                               QStringLiteral("--port-file"), QStringLiteral("{folder}/port.txt")});
    }

    void stop() { m_server.stop(); }
    bool isRunning() const { return m_server.isRunning(); }
    int port() const { return m_server.port(); }
    QString errorText() const { return m_server.errorText(); }

    // The folder the SFTP session sees as "/".
    QString home() const { return m_home->path(); }

    // The server's private host key; made at the first start that uses it. Another name gives
    // the server another key (a changed host key).
    QString hostKeyFile(const QString& name = QStringLiteral("host_key")) const {
        return m_keys->filePath(name);
    }

    // The known_hosts line of the key in hostKeyFile(name) for this port.
    QByteArray knownHostsLine(const QString& name = QStringLiteral("host_key")) const {
        QFile pub(hostKeyFile(name) + QStringLiteral(".pub"));
        if (!pub.open(QIODevice::ReadOnly))
            return {};
        const QList<QByteArray> parts = pub.readAll().trimmed().split(' ');
        if (parts.size() < 2)
            return {};
        return "[127.0.0.1]:" + QByteArray::number(port()) + ' ' + parts[0] + ' ' + parts[1] + '\n';
    }

    // What the server wrote to stderr: logins, refusals, faults injected.
    QString serverLog() const { return m_server.serverLog(); }

private:
    ScriptServer m_server{QStringLiteral("sftp_server.py")};
    std::unique_ptr<QTemporaryDir> m_home = std::make_unique<QTemporaryDir>();
    std::unique_ptr<QTemporaryDir> m_keys = std::make_unique<QTemporaryDir>();
};
