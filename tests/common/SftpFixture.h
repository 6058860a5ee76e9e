#pragma once

#include "SftpTestServer.h"
#include "TempFolder.h"
#include "transfer/sftp/TTGPuttySFTP.h"

#include <QFile>
#include <QRandomGenerator>
#include <QtTest>

#include <memory>
#include <vector>

// One SFTP test's world: a program folder of its own holding a copy of the SFTP library (so
// that its known_hosts file lands there), the test server, and a session wired to record what
// it is told.
class SftpFixture {
public:
    // Copies the library from folder (the program's by default) and loads it from the copy.
    bool installLibrary(const QString& from = QStringLiteral(PROGRAM_FOLDER)) {
        const QString name = TTGPuttySFTP::libraryFileName();
        if (!QFile::copy(from + QLatin1Char('/') + name, folder.file(name)))
            return false;
        TTGPuttySFTP::setLibraryFolder(folder.path());
        return true;
    }

    QString knownHostsFile() const { return folder.file(QStringLiteral("known_hosts")); }

    QByteArray knownHosts() const {
        QFile f(knownHostsFile());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    // As `ssh-keyscan -p PORT 127.0.0.1 >> known_hosts` would.
    void seedKnownHost(const QString& keyName = QStringLiteral("host_key")) {
        QFile f(knownHostsFile());
        QVERIFY(f.open(QIODevice::Append));
        f.write(server.knownHostsLine(keyName));
    }

    // A session for the running server; records messages and host key questions. Host keys
    // are accepted (and stored) when acceptKey is set.
    std::unique_ptr<TTGPuttySFTP> session(const QByteArray& password = "geheim") {
        auto s = std::make_unique<TTGPuttySFTP>(true);
        s->setHostName("127.0.0.1");
        s->setUserName("backup");
        s->setPassword(password);
        s->setPort(server.port());
        s->setTimeoutTicks(10000);
        s->setConnectionTimeoutTicks(10000);
        s->OnMessage = [this](const QByteArray& m, bool) { messages += m; };
        s->OnVerifyHostKey = [this](const QByteArray&, qint32, const QByteArray& fp, qint32 status,
                                    bool& store) {
            hostKeyStatuses.append(status);
            fingerprint = fp;
            store = storeKey;
            return acceptKey;
        };
        return s;
    }

    static QByteArray randomBytes(qsizetype n) {
        std::vector<quint32> words(static_cast<size_t>(n / 4 + 1));
        QRandomGenerator::global()->fillRange(words.data(), static_cast<qsizetype>(words.size()));
        return QByteArray(reinterpret_cast<const char*>(words.data()), n);
    }

    TempFolder folder;
    SftpTestServer server;
    QByteArray messages;
    QList<qint32> hostKeyStatuses;
    QByteArray fingerprint;
    bool acceptKey = true;
    bool storeKey = true;
};
