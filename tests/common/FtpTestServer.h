#pragma once

#include "ScriptServer.h"

#include <QJsonObject>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

// tests/servers/ftp_server.py, our FTP / explicit FTPS server, on a free loopback port for one
// test. The user's folder is a temporary folder this runner owns.
class FtpTestServer {
public:
    // User backup / "geheim", plain FTP. The keys the server knows are listed
    // at the top of ftp_server.py (tls, tls_min_version, refuse_auth, ...).
    static QJsonObject defaultScenario() {
        return QJsonObject{{QStringLiteral("user"), QStringLiteral("backup")},
                           {QStringLiteral("password"), QStringLiteral("geheim")},
                           {QStringLiteral("tls"), false}};
    }

    // Writes the scenario, starts the server and waits up to 10 s for its port.
    // The scenario's home is set to home() unless it names one.
    bool start(QJsonObject scenario) {
        m_server.stop();
        m_home = std::make_unique<QTemporaryDir>();
        if (!scenario.contains(QStringLiteral("home")))
            scenario[QStringLiteral("home")] = m_home->path();
        return m_server.start(
            scenario, {QStringLiteral("--scenario"), QStringLiteral("{scenario}"),
                       QStringLiteral("--port-file"), QStringLiteral("{folder}/port.txt"),
                       QStringLiteral("--command-log"), QStringLiteral("{folder}/commands.txt"),
                       QStringLiteral("--certificate"), QStringLiteral("{folder}/server.crt")});
    }

    void stop() { m_server.stop(); }
    bool isRunning() const { return m_server.isRunning(); }
    int port() const { return m_server.port(); }
    QString errorText() const { return m_server.errorText(); }

    // The user's folder: what arrives by STOR lands here.
    QString home() const { return m_home ? m_home->path() : QString(); }

    // The server's self-signed certificate (PEM) when the scenario has tls; for
    // clients that verify the server instead of trusting it blindly.
    QString certificateFile() const { return m_server.path(QStringLiteral("server.crt")); }
    // With the scenario's certificate_authority: the test authority that signed it (PEM).
    QString authorityFile() const { return m_server.path(QStringLiteral("ca.crt")); }

    // Every command the server received so far, in order: "TLS <line>" or
    // "CLEAR <line>" by how it arrived, PASS written as "PASS ****".
    QStringList commandLog() const { return m_server.readLines(QStringLiteral("commands.txt")); }

    // What the server wrote to stderr: sessions, logins, transfers, errors.
    QString serverLog() const { return m_server.serverLog(); }

private:
    ScriptServer m_server{QStringLiteral("ftp_server.py")};
    std::unique_ptr<QTemporaryDir> m_home;
};
