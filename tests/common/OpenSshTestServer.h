#pragma once

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <memory>

// Starts tests/servers/openssh_server.py: OpenSSH's sshd on a free loopback port with its own
// configuration and keys in a temporary folder, public key login only; stops it again.
class OpenSshTestServer {
public:
    OpenSshTestServer() = default;
    OpenSshTestServer(const OpenSshTestServer&) = delete;
    OpenSshTestServer& operator=(const OpenSshTestServer&) = delete;
    ~OpenSshTestServer() { stop(); }

    static bool available() { return QFileInfo::exists(QStringLiteral("/usr/sbin/sshd")); }

    // `extra` goes to openssh_server.py (--rsa-host-key, --config LINE).
    bool start(const QStringList& extra = {}) {
        stop();
        m_dir = std::make_unique<QTemporaryDir>();
        if (!m_dir->isValid())
            return fail(QStringLiteral("no temporary folder"));
        QString servers = qEnvironmentVariable("ORVEL_TEST_SERVERS");
        if (servers.isEmpty())
            servers =
                QFileInfo(QStringLiteral(__FILE__)).absolutePath() + QStringLiteral("/../servers");
        m_process = std::make_unique<QProcess>();
        m_process->setStandardOutputFile(m_dir->filePath(QStringLiteral("runner.out")));
        m_process->setStandardErrorFile(m_dir->filePath(QStringLiteral("runner.err")));
        const QStringList arguments{
            QDir(servers).absoluteFilePath(QStringLiteral("openssh_server.py")),
            QStringLiteral("--dir"), m_dir->path(), QStringLiteral("--port-file"),
            m_dir->filePath(QStringLiteral("port.txt"))};
        m_process->start(QStringLiteral("/usr/bin/python3"), arguments + extra);
        if (!m_process->waitForStarted(10000))
            return fail(QStringLiteral("python3 does not start"));
        QDeadlineTimer deadline(20000);
        while (!deadline.hasExpired()) {
            QFile f(m_dir->filePath(QStringLiteral("port.txt")));
            if (f.open(QIODevice::ReadOnly)) {
                m_port = f.readAll().trimmed().toInt();
                return m_port > 0 || fail(QStringLiteral("bad port file"));
            }
            if (m_process->waitForFinished(50))
                return fail(QStringLiteral("the runner ended before sshd listened"));
        }
        return fail(QStringLiteral("sshd did not listen within 20 s"));
    }

    void stop() {
        if (m_process && m_process->state() != QProcess::NotRunning) {
            m_process->terminate();
            if (!m_process->waitForFinished(8000)) {
                m_process->kill();
                m_process->waitForFinished(5000);
            }
        }
        m_process.reset();
    }

    int port() const { return m_port; }
    QString clientKey() const { return m_dir->filePath(QStringLiteral("client_key")); }
    // Protected by the passphrase "geheimwort".
    QString clientKeyWithPassphrase() const {
        return m_dir->filePath(QStringLiteral("client_key_pass"));
    }
    QString uploadFolder() const { return m_dir->filePath(QStringLiteral("upload")); }
    QByteArray user() const {
        QFile f(m_dir->filePath(QStringLiteral("user")));
        return f.open(QIODevice::ReadOnly) ? f.readAll().trimmed() : QByteArray();
    }
    QString errorText() const { return m_error; }

private:
    bool fail(const QString& text) {
        m_error = text;
        if (m_dir) {
            QFile err(m_dir->filePath(QStringLiteral("runner.err")));
            if (err.open(QIODevice::ReadOnly))
                m_error += QLatin1Char('\n') + QString::fromUtf8(err.readAll());
        }
        stop();
        return false;
    }

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<QProcess> m_process;
    int m_port = 0;
    QString m_error;
};
