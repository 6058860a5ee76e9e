#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

// Starts tests/servers/sftp_server.py, our SSH / SFTP server, on a free
// loopback port for one test and stops it again. The server's output
// goes to files, not pipes, so a test that blocks in a client call never
// stalls it. The user's folder is a temporary folder this runner owns.
class SftpTestServer {
public:
    SftpTestServer() : m_keys(std::make_unique<QTemporaryDir>()) {}
    SftpTestServer(const SftpTestServer&) = delete;
    SftpTestServer& operator=(const SftpTestServer&) = delete;
    ~SftpTestServer() { stop(); }

    // User backup / "geheim", password login. The keys the server knows are
    // listed at the top of sftp_server.py (auth, refuse_setstat, ...).
    static QJsonObject defaultScenario() {
        return QJsonObject{{QStringLiteral("user"), QStringLiteral("backup")},
                           {QStringLiteral("password"), QStringLiteral("geheim")}};
    }

    static QString scriptPath() {
        QString dir = qEnvironmentVariable("ORVEL_TEST_SERVERS");
        if (dir.isEmpty())
            dir =
                QFileInfo(QStringLiteral(__FILE__)).absolutePath() + QStringLiteral("/../servers");
        return QDir(dir).absoluteFilePath(QStringLiteral("sftp_server.py"));
    }

    // Writes the scenario, starts the server and waits up to 10 s for its port.
    // The scenario's home is set to home() unless it names one; the host key is
    // hostKeyFile() (kept across restarts of this runner) unless it names one.
    bool start(QJsonObject scenario) {
        stop();
        m_error.clear();
        m_port = 0;
        m_dir = std::make_unique<QTemporaryDir>();
        if (!m_home)
            m_home = std::make_unique<QTemporaryDir>();
        if (!m_dir->isValid() || !m_home->isValid())
            return fail(QStringLiteral("no temporary folder: ") + m_dir->errorString());
        if (!QFileInfo::exists(scriptPath()))
            return fail(QStringLiteral("server script missing: ") + scriptPath());
        if (!scenario.contains(QStringLiteral("home")))
            scenario[QStringLiteral("home")] = m_home->path();
        if (!scenario.contains(QStringLiteral("host_key")))
            scenario[QStringLiteral("host_key")] = hostKeyFile();
        QFile file(path(QStringLiteral("scenario.json")));
        if (!file.open(QIODevice::WriteOnly) || file.write(QJsonDocument(scenario).toJson()) < 0 ||
            !file.flush())
            return fail(QStringLiteral("cannot write the scenario: ") + file.errorString());
        file.close();

        m_process = std::make_unique<QProcess>();
        m_process->setStandardOutputFile(path(QStringLiteral("stdout.txt")));
        m_process->setStandardErrorFile(path(QStringLiteral("stderr.txt")));
        m_process->start(QStringLiteral("/usr/bin/python3"),
                         {scriptPath(), QStringLiteral("--scenario"), file.fileName(),
                          QStringLiteral("--port-file"), path(QStringLiteral("port.txt"))});
        if (!m_process->waitForStarted(10000))
            return fail(QStringLiteral("python3 does not start: ") + m_process->errorString());

        QDeadlineTimer deadline(10000);
        while (!deadline.hasExpired()) {
            // The server writes the port under another name and renames it: whole or absent.
            const QByteArray text = readFile(QStringLiteral("port.txt"));
            if (!text.isEmpty()) {
                m_port = text.trimmed().toInt();
                if (m_port > 0)
                    return true;
                return fail(QStringLiteral("unexpected port file: ") + QString::fromUtf8(text));
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
    QString errorText() const { return m_error; }

    // The folder the SFTP session sees as "/".
    QString home() const { return m_home ? m_home->path() : QString(); }

    // The server's private host key; made at the first start. Another name
    // gives the server another key (a changed host key).
    QString hostKeyFile(const QString& name = QStringLiteral("host_key")) const {
        return m_keys ? m_keys->filePath(name) : QString();
    }

    // The known_hosts line of the key in hostKeyFile(name) for this port.
    QByteArray knownHostsLine(const QString& name = QStringLiteral("host_key")) const {
        QFile pub(hostKeyFile(name) + QStringLiteral(".pub"));
        if (!pub.open(QIODevice::ReadOnly))
            return {};
        const QList<QByteArray> parts = pub.readAll().trimmed().split(' ');
        if (parts.size() < 2)
            return {};
        return "[127.0.0.1]:" + QByteArray::number(m_port) + ' ' + parts[0] + ' ' + parts[1] + '\n';
    }

    // What the server wrote to stderr: sessions, logins, transfers, errors.
    QString serverLog() const { return QString::fromUtf8(readFile(QStringLiteral("stderr.txt"))); }

private:
    QString path(const QString& name) const { return m_dir ? m_dir->filePath(name) : QString(); }

    QByteArray readFile(const QString& name) const {
        if (!m_dir)
            return {};
        QFile file(path(name));
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
    std::unique_ptr<QTemporaryDir> m_home;
    std::unique_ptr<QTemporaryDir> m_keys;
    std::unique_ptr<QProcess> m_process;
    int m_port = 0;
    QString m_error;
};
