#pragma once

#include "ScriptServer.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>

// tests/servers/smtp_server.py: SMTP with implicit TLS and AUTH LOGIN, its certificate signed
// by a test authority of its own (caFile()). The scenario keys are listed in the script.
class SmtpTestServer {
public:
    // User report / "geheim".
    static QJsonObject defaultScenario() {
        return QJsonObject{{QStringLiteral("user"), QStringLiteral("report")},
                           {QStringLiteral("password"), QStringLiteral("geheim")}};
    }

    bool start(const QJsonObject& scenario = defaultScenario()) { return m_server.start(scenario); }
    void stop() { m_server.stop(); }
    int port() const { return m_server.port(); }
    QString errorText() const { return m_server.errorText(); }

    // The test authority that signed the server's certificate (PEM).
    QString caFile() const { return m_server.path(QStringLiteral("ca.crt")); }
    // How many TCP connections the server accepted.
    int connections() const {
        return int(m_server.readLines(QStringLiteral("connections.txt")).size());
    }
    // The commands received, in order ("EHLO ...", "AUTH LOGIN", "MAIL FROM:<...>", ...).
    QStringList commands() const { return m_server.readLines(QStringLiteral("commands.txt")); }
    // The messages accepted, as the script records them (see its header).
    QList<QJsonObject> messages() const {
        QList<QJsonObject> out;
        const QList<QByteArray> lines =
            m_server.readFile(QStringLiteral("messages.jsonl")).split('\n');
        for (const QByteArray& line : lines) {
            if (!line.trimmed().isEmpty())
                out << QJsonDocument::fromJson(line).object();
        }
        return out;
    }
    QString serverLog() const { return m_server.serverLog(); }

private:
    ScriptServer m_server{QStringLiteral("smtp_server.py")};
};
