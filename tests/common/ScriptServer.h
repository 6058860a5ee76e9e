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

// Where a test server reports its port: a file of its folder and the text before the number.
struct ScriptServerPort {
    QString file = QStringLiteral("port.txt");
    QByteArray prefix;
};

// One of our Python test servers in tests/servers, started on a free loopback port for one
// test and stopped again. The server gets a scenario file and a folder of its own and reports
// the port it listens on in a file of that folder: "port.txt" by default (written under another
// name first, then renamed), or a first line such as "PORT 1234" on standard output. Output
// goes to files, not pipes, so a test that blocks in a client call never stalls the server.
class ScriptServer {
public:
    using PortReport = ScriptServerPort;

    explicit ScriptServer(QString script) : m_script(std::move(script)) {}
    ScriptServer(const ScriptServer&) = delete;
    ScriptServer& operator=(const ScriptServer&) = delete;
    ~ScriptServer() { stop(); }

    QString scriptPath() const {
        QString dir = qEnvironmentVariable("ORVEL_TEST_SERVERS");
        if (dir.isEmpty())
            dir =
                QFileInfo(QStringLiteral(__FILE__)).absolutePath() + QStringLiteral("/../servers");
        return QDir(dir).absoluteFilePath(m_script);
    }

    // Writes the scenario, starts the server and waits up to 10 s for its port. In the
    // arguments and in the scenario's top-level texts, "{folder}" stands for the server's
    // folder and, in the arguments, "{scenario}" for the scenario file.
    bool start(QJsonObject scenario,
               QStringList arguments = {QStringLiteral("--scenario"), QStringLiteral("{scenario}"),
                                        QStringLiteral("--folder"), QStringLiteral("{folder}")},
               const PortReport& report = PortReport()) {
        stop();
        m_error.clear();
        m_port = 0;
        m_dir = std::make_unique<QTemporaryDir>();
        if (!m_dir->isValid())
            return fail(QStringLiteral("no temporary folder: ") + m_dir->errorString());
        if (!QFileInfo::exists(scriptPath()))
            return fail(QStringLiteral("server script missing: ") + scriptPath());
        const QString folderMark = QStringLiteral("{folder}");
        for (auto it = scenario.begin(); it != scenario.end(); ++it) {
            if (it.value().isString())
                it.value() = it.value().toString().replace(folderMark, m_dir->path());
        }
        QFile file(path(QStringLiteral("scenario.json")));
        if (!file.open(QIODevice::WriteOnly) || file.write(QJsonDocument(scenario).toJson()) < 0 ||
            !file.flush())
            return fail(QStringLiteral("cannot write the scenario: ") + file.errorString());
        file.close();
        for (QString& a : arguments)
            a.replace(folderMark, m_dir->path())
                .replace(QStringLiteral("{scenario}"), file.fileName());

        m_process = std::make_unique<QProcess>();
        m_process->setStandardOutputFile(path(QStringLiteral("stdout.txt")));
        m_process->setStandardErrorFile(path(QStringLiteral("stderr.txt")));
        m_process->start(QStringLiteral("/usr/bin/python3"), QStringList{scriptPath()} + arguments);
        if (!m_process->waitForStarted(10000))
            return fail(QStringLiteral("python3 does not start: ") + m_process->errorString());

        QDeadlineTimer deadline(10000);
        while (!deadline.hasExpired()) {
            const QByteArray text = readFile(report.file);
            if (text.startsWith(report.prefix) && text.endsWith('\n')) {
                m_port = text.mid(report.prefix.size()).trimmed().toInt();
                if (m_port > 0)
                    return true;
                return fail(QStringLiteral("unexpected port report: ") + QString::fromUtf8(text));
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
    // The server's folder; lives as long as this runner, also after a stop.
    QString folder() const { return m_dir ? m_dir->path() : QString(); }
    QString errorText() const { return m_error; }

    // A file of the server's folder.
    QString path(const QString& name) const { return m_dir ? m_dir->filePath(name) : QString(); }
    QByteArray readFile(const QString& name) const {
        if (!m_dir)
            return {};
        QFile file(path(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    QStringList readLines(const QString& name) const {
        return QString::fromUtf8(readFile(name)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }
    // What the server wrote to stderr.
    QString serverLog() const { return QString::fromUtf8(readFile(QStringLiteral("stderr.txt"))); }

private:
    bool fail(const QString& text) {
        m_error = text;
        const QString log = serverLog();
        if (!log.isEmpty())
            m_error += QStringLiteral("\n") + log;
        stop();
        return false;
    }

    QString m_script;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<QProcess> m_process;
    int m_port = 0;
    QString m_error;
};
