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

// Starts tests/servers/ftp_server.py, our FTP / explicit FTPS server, on a
// free loopback port for one test and stops it again. The server's output
// goes to files, not pipes, so a test that blocks in a client call never
// stalls it. The user's folder is a temporary folder this runner owns.
class FtpTestServer {
public:
    FtpTestServer() = default;
    FtpTestServer(const FtpTestServer&) = delete;
    FtpTestServer& operator=(const FtpTestServer&) = delete;
    ~FtpTestServer() { stop(); }

    // User backup / "geheim", plain FTP. The keys the server knows are listed
    // at the top of ftp_server.py (tls, tls_min_version, refuse_auth, ...).
    static QJsonObject defaultScenario() {
        return QJsonObject{{QStringLiteral("user"), QStringLiteral("backup")},
                           {QStringLiteral("password"), QStringLiteral("geheim")},
                           {QStringLiteral("tls"), false}};
    }

    static QString scriptPath() {
        QString dir = qEnvironmentVariable("ORVEL_TEST_SERVERS");
        if (dir.isEmpty())
            dir =
                QFileInfo(QStringLiteral(__FILE__)).absolutePath() + QStringLiteral("/../servers");
        return QDir(dir).absoluteFilePath(QStringLiteral("ftp_server.py"));
    }

    // Writes the scenario, starts the server and waits up to 10 s for its port.
    // The scenario's home is set to home() unless it names one.
    bool start(QJsonObject scenario) {
        stop();
        m_error.clear();
        m_port = 0;
        m_dir = std::make_unique<QTemporaryDir>();
        m_home = std::make_unique<QTemporaryDir>();
        if (!m_dir->isValid() || !m_home->isValid())
            return fail(QStringLiteral("no temporary folder: ") + m_dir->errorString());
        if (!QFileInfo::exists(scriptPath()))
            return fail(QStringLiteral("server script missing: ") + scriptPath());
        if (!scenario.contains(QStringLiteral("home")))
            scenario[QStringLiteral("home")] = m_home->path();
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
                          QStringLiteral("--port-file"), path(QStringLiteral("port.txt")),
                          QStringLiteral("--command-log"), path(QStringLiteral("commands.txt")),
                          QStringLiteral("--certificate"), certificateFile()});
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

    // The user's folder: what arrives by STOR lands here.
    QString home() const { return m_home ? m_home->path() : QString(); }

    // The server's self-signed certificate (PEM) when the scenario has tls; for
    // clients that verify the server instead of trusting it blindly.
    QString certificateFile() const { return path(QStringLiteral("server.crt")); }

    // Every command the server received so far, in order: "TLS <line>" or
    // "CLEAR <line>" by how it arrived, PASS written as "PASS ****".
    QStringList commandLog() const {
        return QString::fromUtf8(readFile(QStringLiteral("commands.txt")))
            .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
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
    std::unique_ptr<QProcess> m_process;
    int m_port = 0;
    QString m_error;
};
