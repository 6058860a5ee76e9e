#pragma once

#include "ScriptServer.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

// tests/servers/tds_server.py, our SQL Server stand-in, on a free loopback port for one test.
class TdsTestServer {
public:
    // Login sa / "geheim", database Lager in the FULL recovery model.
    static QJsonObject defaultScenario() {
        QJsonObject data{{QStringLiteral("file_id"), 1},
                         {QStringLiteral("type"), 0},
                         {QStringLiteral("name"), QStringLiteral("Lager")},
                         {QStringLiteral("size"), 1024}};
        QJsonObject log{{QStringLiteral("file_id"), 2},
                        {QStringLiteral("type"), 1},
                        {QStringLiteral("name"), QStringLiteral("Lager_log")},
                        {QStringLiteral("size"), 128}};
        QJsonObject lager{{QStringLiteral("recovery_model"), QStringLiteral("FULL")},
                          {QStringLiteral("files"), QJsonArray{data, log}},
                          {QStringLiteral("backup_bytes"), 65536},
                          {QStringLiteral("log_backup_bytes"), 8192}};
        return QJsonObject{
            {QStringLiteral("logins"),
             QJsonObject{{QStringLiteral("sa"), QStringLiteral("geheim")}}},
            {QStringLiteral("databases"), QJsonObject{{QStringLiteral("Lager"), lager}}}};
    }

    // Writes the scenario, starts the server and waits up to 10 s for its port.
    bool start(QJsonObject scenario) {
        scenario[QStringLiteral("batch_log")] = QStringLiteral("{folder}/batches.txt");
        return m_server.start(scenario,
                              {QStringLiteral("--scenario"), QStringLiteral("{scenario}"),
                               QStringLiteral("--port"), QStringLiteral("0")},
                              {QStringLiteral("stdout.txt"), QByteArrayLiteral("PORT ")});
    }

    void stop() { m_server.stop(); }
    bool isRunning() const { return m_server.isRunning(); }
    int port() const { return m_server.port(); }
    QString dataSource() const { return QStringLiteral("127.0.0.1,%1").arg(port()); }
    QString errorText() const { return m_server.errorText(); }

    // What the server wrote to stderr: one line per login, refusal or dropped client.
    QString serverLog() const { return m_server.serverLog(); }

    // Every SQL batch the server received so far, in order.
    QStringList batches() const {
        QStringList result;
        const QList<QByteArray> lines = readFile(QStringLiteral("batches.txt")).split('\n');
        for (const QByteArray& line : lines) {
            if (line.isEmpty())
                continue;
            // Each line is one JSON string; wrapped in an array so Qt parses it.
            const QJsonDocument doc = QJsonDocument::fromJson("[" + line + "]");
            result.append(doc.array().at(0).toString());
        }
        return result;
    }

    // A folder that lives as long as this server; handy for backup paths.
    QString folder() const { return m_server.folder(); }

private:
    QByteArray readFile(const QString& name) const { return m_server.readFile(name); }

    ScriptServer m_server{QStringLiteral("tds_server.py")};
};
