#pragma once

#include "ScriptServer.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QStringList>

// tests/servers/https_server.py: HTTPS on 127.0.0.1 with a certificate signed by a test
// authority of its own (caFile()); answers from scenario routes or from files put into its
// www folder. The scenario keys are listed in the script.
class WebTestServer {
public:
    bool start(const QJsonObject& scenario = {}) { return m_server.start(scenario); }
    void stop() { m_server.stop(); }
    int port() const { return m_server.port(); }
    QString errorText() const { return m_server.errorText(); }
    QString serverLog() const { return m_server.serverLog(); }

    // The address for the INI key WebServer=.
    QString base() const { return QStringLiteral("https://127.0.0.1:%1").arg(port()); }
    // The test authority that signed the server's certificate (PEM), for WebCAFile=.
    QString caFile() const { return m_server.path(QStringLiteral("ca.crt")); }

    // Serves content at path ("/secure/...") from now on.
    bool put(const QString& path, const QByteArray& content) const {
        const QString local = m_server.path(QStringLiteral("www")) + path;
        QDir().mkpath(QFileInfo(local).absolutePath());
        QFile file(local);
        return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
    }

    // The local file that the server answers path with.
    QString folderPath(const QString& path) const {
        return m_server.path(QStringLiteral("www")) + path;
    }

    // The requests received, in order: path, user agent and method.
    struct Request {
        QString path;
        QString userAgent;
        QString method;
    };
    QList<Request> requests() const {
        QList<Request> out;
        for (const QString& line : m_server.readLines(QStringLiteral("requests.txt"))) {
            const QStringList parts = line.split(QLatin1Char('\t'));
            out.append({parts.value(0), parts.value(1), parts.value(2)});
        }
        return out;
    }
    QStringList paths() const {
        QStringList out;
        for (const Request& r : requests())
            out << r.path;
        return out;
    }

    // A scenario answering path with body and status.
    static QJsonObject route(const QString& path, const QString& body, int status = 200) {
        return QJsonObject{{QStringLiteral("routes"),
                            QJsonObject{{path, QJsonObject{{QStringLiteral("status"), status},
                                                           {QStringLiteral("body"), body}}}}}};
    }

private:
    ScriptServer m_server{QStringLiteral("https_server.py")};
};
