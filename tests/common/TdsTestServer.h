#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>

#include <memory>

// Starts tests/servers/tds_server.py, our SQL Server stand-in, on a free
// loopback port for one test and stops it again. The server's output goes to
// files, not pipes, so a test that blocks in a client call never stalls it.
class TdsTestServer {
public:
    TdsTestServer() = default;
    TdsTestServer(const TdsTestServer&) = delete;
    TdsTestServer& operator=(const TdsTestServer&) = delete;
    ~TdsTestServer() { stop(); }

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

    static QString scriptPath() {
        QString dir = qEnvironmentVariable("ORVEL_TEST_SERVERS");
        if (dir.isEmpty())
            dir =
                QFileInfo(QStringLiteral(__FILE__)).absolutePath() + QStringLiteral("/../servers");
        return QDir(dir).absoluteFilePath(QStringLiteral("tds_server.py"));
    }

    // Writes the scenario, starts the server and waits up to 10 s for its port.
    bool start(QJsonObject scenario) {
        stop();
        m_error.clear();
        m_port = 0;
        m_dir = std::make_unique<QTemporaryDir>();
        if (!m_dir->isValid())
            return fail(QStringLiteral("no temporary folder: ") + m_dir->errorString());
        if (!QFileInfo::exists(scriptPath()))
            return fail(QStringLiteral("server script missing: ") + scriptPath());
        scenario[QStringLiteral("batch_log")] = batchLogPath();
        QFile file(m_dir->filePath(QStringLiteral("scenario.json")));
        if (!file.open(QIODevice::WriteOnly) || file.write(QJsonDocument(scenario).toJson()) < 0 ||
            !file.flush())
            return fail(QStringLiteral("cannot write the scenario: ") + file.errorString());
        file.close();

        m_process = std::make_unique<QProcess>();
        m_process->setStandardOutputFile(m_dir->filePath(QStringLiteral("stdout.txt")));
        m_process->setStandardErrorFile(m_dir->filePath(QStringLiteral("stderr.txt")));
        m_process->start(QStringLiteral("/usr/bin/python3"),
                         {scriptPath(), QStringLiteral("--scenario"), file.fileName(),
                          QStringLiteral("--port"), QStringLiteral("0")});
        if (!m_process->waitForStarted(10000))
            return fail(QStringLiteral("python3 does not start: ") + m_process->errorString());

        QDeadlineTimer deadline(10000);
        while (!deadline.hasExpired()) {
            const QByteArray out = readFile(QStringLiteral("stdout.txt"));
            if (out.startsWith("PORT ") && out.endsWith('\n')) {
                m_port = out.mid(5).trimmed().toInt();
                if (m_port > 0)
                    return true;
                return fail(QStringLiteral("unexpected first line: ") + QString::fromUtf8(out));
            }
            if (m_process->state() == QProcess::NotRunning || m_process->waitForFinished(20))
                return fail(QStringLiteral("server ended before it listened"));
        }
        return fail(QStringLiteral("server did not report its port within 10 s"));
    }

    void stop() {
        if (m_process && m_process->state() != QProcess::NotRunning) {
            m_process->terminate();
            if (!m_process->waitForFinished(5000)) {
                m_process->kill();
                m_process->waitForFinished(5000);
            }
        }
        m_process.reset();
    }

    bool isRunning() const { return m_process && m_process->state() == QProcess::Running; }
    int port() const { return m_port; }
    QString dataSource() const { return QStringLiteral("127.0.0.1,%1").arg(m_port); }
    QString errorText() const { return m_error; }

    // What the server wrote to stderr: one line per login, refusal or dropped client.
    QString serverLog() const { return QString::fromUtf8(readFile(QStringLiteral("stderr.txt"))); }

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
    QString folder() const { return m_dir ? m_dir->path() : QString(); }

private:
    QString batchLogPath() const { return m_dir->filePath(QStringLiteral("batches.txt")); }

    QByteArray readFile(const QString& name) const {
        if (!m_dir)
            return {};
        QFile file(m_dir->filePath(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    bool fail(const QString& text) {
        m_error = text;
        const QString log = serverLog();
        if (!log.isEmpty())
            m_error += QStringLiteral("\n") + log;
        stop();
        return false;
    }

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<QProcess> m_process;
    int m_port = 0;
    QString m_error;
};
