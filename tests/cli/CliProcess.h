#pragma once

// The built command line program, started as an administrator or a timer starts it: its own
// program folder (--folder), the one-instance locks kept apart from other runs, German texts.

#include <QDir>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

struct CliResult {
    int code = -1;
    QString out;
    QString err;
};

class CliProcess {
public:
    static QString program() {
        return qEnvironmentVariable("ORVEL_BUILD_DIR") +
               QStringLiteral("/program/orvelsqlbackup-cli");
    }
    static QString window() {
        return qEnvironmentVariable("ORVEL_BUILD_DIR") + QStringLiteral("/program/OrvelSQLBackup");
    }

    explicit CliProcess(QString folder) : m_folder(std::move(folder)) {}

    QProcessEnvironment environment() const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        env.insert(QStringLiteral("TMPDIR"), m_tmp.path());
        env.insert(QStringLiteral("LC_ALL"), QStringLiteral("de_DE.UTF-8"));
        return env;
    }

    // Runs `orvelsqlbackup-cli --folder FOLDER ARGS…` with `input` on its standard input.
    CliResult run(const QStringList& arguments, const QByteArray& input = {}) const {
        QProcess p;
        p.setProcessEnvironment(environment());
        p.start(program(), QStringList{QStringLiteral("--folder"), m_folder} + arguments);
        CliResult result;
        if (!p.waitForStarted(10000))
            return result;
        p.write(input);
        p.closeWriteChannel();
        if (!p.waitForFinished(60000)) {
            p.kill();
            p.waitForFinished();
        }
        result.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        result.out = QString::fromUtf8(p.readAllStandardOutput());
        result.err = QString::fromUtf8(p.readAllStandardError());
        return result;
    }

    QString tmp() const { return m_tmp.path(); }
    const QString& folder() const { return m_folder; }

private:
    QString m_folder;
    QTemporaryDir m_tmp;
};
