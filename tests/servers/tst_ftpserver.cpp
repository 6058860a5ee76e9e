// The FTP / FTPS server that the upload tests talk to, checked with the curl
// command line (libcurl underneath, like the upload client): uploads arrive
// byte for byte, TLS is really used where the log says so, and every
// scenario switch breaks the upload the way it promises.

#include "FtpTestServer.h"

#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QJsonValue>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

namespace {

struct CurlResult {
    int exitCode = -1;
    QString output;
};

// Uploads `file` to `name` in the user's folder with curl; `extra` are curl options.
CurlResult upload(const FtpTestServer& server, const QString& file, const QString& name,
                  const QStringList& extra = {}) {
    QProcess curl;
    curl.setProcessChannelMode(QProcess::MergedChannels);
    QStringList args{QStringLiteral("-sS"),
                     QStringLiteral("--max-time"),
                     QStringLiteral("30"),
                     QStringLiteral("--user"),
                     QStringLiteral("backup:geheim"),
                     QStringLiteral("-T"),
                     file};
    args += extra;
    args << QStringLiteral("ftp://127.0.0.1:%1/%2").arg(server.port()).arg(name);
    curl.start(QStringLiteral("/usr/bin/curl"), args);
    CurlResult result;
    if (!curl.waitForStarted(10000))
        return result;
    if (!curl.waitForFinished(60000)) {
        curl.kill();
        curl.waitForFinished();
    }
    result.exitCode = curl.exitStatus() == QProcess::NormalExit ? curl.exitCode() : -1;
    result.output = QString::fromUtf8(curl.readAll());
    return result;
}

// Binary content with every byte value, CR LF pairs and lone CRs and LFs in it.
QByteArray sampleBytes(int size) {
    QByteArray data;
    data.reserve(size);
    for (int i = 0; data.size() < size; ++i) {
        data.append(char((uint(i) * 7919u + uint(i) / 256u) & 0xffu));
        if (i % 97 == 0)
            data.append("\r\n");
    }
    data.truncate(size);
    return data;
}

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString& path, const QByteArray& data) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

const QStringList kTlsOptions{QStringLiteral("--ssl-reqd"), QStringLiteral("-k")};

// curl options that make it speak TLS 1.1 and nothing else (OpenSSL 3 needs
// security level 0 for that).
const QStringList kTls11Only{QStringLiteral("--tlsv1.1"), QStringLiteral("--tls-max"),
                             QStringLiteral("1.1"), QStringLiteral("--ciphers"),
                             QStringLiteral("DEFAULT:@SECLEVEL=0")};

QJsonObject scenarioWith(std::initializer_list<std::pair<QString, QJsonValue>> keys) {
    QJsonObject scenario = FtpTestServer::defaultScenario();
    for (const auto& [key, value] : keys)
        scenario[key] = value;
    return scenario;
}

} // namespace

class TestFtpServer : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_files;
    QString m_sample;

private slots:
    void initTestCase() {
        QVERIFY(m_files.isValid());
        m_sample = m_files.filePath(QStringLiteral("sample.bin"));
        QVERIFY(writeFile(m_sample, sampleBytes(300000)));
    }

    void plainUpload_data() {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QString>("dataCommand");
        QTest::newRow("passive") << QStringList{} << QStringLiteral("CLEAR EPSV");
        QTest::newRow("active") << QStringList{QStringLiteral("--ftp-port"),
                                               QStringLiteral("127.0.0.1")}
                                << QStringLiteral("CLEAR EPRT |1|127.0.0.1|");
    }

    // Arrives byte for byte, in a subfolder too; SIZE answers the stored size
    // in TYPE I and TYPE A (curl -I -B asks in TYPE A).
    void plainUpload() {
        QFETCH(QStringList, options);
        QFETCH(QString, dataCommand);
        FtpTestServer server;
        QVERIFY2(server.start(FtpTestServer::defaultScenario()), qPrintable(server.errorText()));
        QVERIFY(QDir(server.home()).mkdir(QStringLiteral("Lager")));

        const CurlResult sent = upload(server, m_sample, QStringLiteral("Lager/a.zip"), options);
        QVERIFY2(sent.exitCode == 0, qPrintable(sent.output));
        QCOMPARE(readAll(server.home() + QStringLiteral("/Lager/a.zip")), readAll(m_sample));

        const QStringList log = server.commandLog();
        QVERIFY2(log.contains(QStringLiteral("CLEAR USER backup")), qPrintable(log.join('\n')));
        QVERIFY(log.contains(QStringLiteral("CLEAR PASS ****")));
        QVERIFY(log.filter(QStringLiteral("geheim")).isEmpty());
        QVERIFY2(!log.filter(dataCommand).isEmpty(), qPrintable(log.join('\n')));

        for (const QString& mode : {QStringLiteral("-I"), QStringLiteral("-IB")}) {
            QProcess curl;
            curl.start(QStringLiteral("/usr/bin/curl"),
                       {QStringLiteral("-sS"), mode, QStringLiteral("--user"),
                        QStringLiteral("backup:geheim"),
                        QStringLiteral("ftp://127.0.0.1:%1/Lager/a.zip").arg(server.port())});
            QVERIFY(curl.waitForFinished(30000));
            const QString head = QString::fromUtf8(curl.readAllStandardOutput());
            QVERIFY2(head.contains(QStringLiteral("Content-Length: 300000")), qPrintable(head));
        }
    }

    void tlsUpload_data() {
        QTest::addColumn<bool>("pinned");
        QTest::newRow("certificate not checked") << false;
        QTest::newRow("certificate pinned") << true;
    }

    // Passive FTPS: the data connection starts its handshake before STOR,
    // and everything after AUTH arrives over TLS.
    void tlsUpload() {
        QFETCH(bool, pinned);
        FtpTestServer server;
        QVERIFY2(server.start(scenarioWith({{QStringLiteral("tls"), true}})),
                 qPrintable(server.errorText()));
        const QStringList options =
            pinned ? QStringList{QStringLiteral("--ssl-reqd"), QStringLiteral("--cacert"),
                                 server.certificateFile()}
                   : kTlsOptions;

        const CurlResult sent = upload(server, m_sample, QStringLiteral("b.zip"), options);
        QVERIFY2(sent.exitCode == 0, qPrintable(sent.output + server.serverLog()));
        QCOMPARE(readAll(server.home() + QStringLiteral("/b.zip")), readAll(m_sample));

        const QStringList log = server.commandLog();
        const QString all = log.join('\n');
        QVERIFY2(log.size() > 1 && log.first().contains(QRegularExpression(
                                       QStringLiteral("^CLEAR AUTH (TLS|SSL)$"))),
                 qPrintable(all));
        QCOMPARE(log.filter(QRegularExpression(QStringLiteral("^CLEAR "))).size(), 1);
        for (const QString& line : {QStringLiteral("TLS USER backup"),
                                    QStringLiteral("TLS PASS ****"), QStringLiteral("TLS PBSZ 0"),
                                    QStringLiteral("TLS PROT P"), QStringLiteral("TLS STOR b.zip")})
            QVERIFY2(log.contains(line), qPrintable(line + QStringLiteral(" missing in\n") + all));
    }

    void tlsVersions_data() {
        QTest::addColumn<QJsonValue>("minVersion");
        QTest::addColumn<QJsonValue>("maxVersion");
        QTest::addColumn<QStringList>("curlOptions");
        QTest::addColumn<bool>("accepted");
        const QJsonValue none(QJsonValue::Null);
        const QJsonValue v11(QStringLiteral("1.1"));
        const QJsonValue v12(QStringLiteral("1.2"));
        QTest::newRow("no minimum, TLS 1.1 client") << none << none << kTls11Only << true;
        QTest::newRow("minimum 1.2, TLS 1.1 client") << v12 << none << kTls11Only << false;
        QTest::newRow("minimum 1.2, TLS 1.2 client")
            << v12 << none << QStringList{QStringLiteral("--tlsv1.2")} << true;
        QTest::newRow("server up to 1.1, client 1.2 or newer")
            << none << v11 << QStringList{QStringLiteral("--tlsv1.2")} << false;
    }

    void tlsVersions() {
        QFETCH(QJsonValue, minVersion);
        QFETCH(QJsonValue, maxVersion);
        QFETCH(QStringList, curlOptions);
        QFETCH(bool, accepted);
        FtpTestServer server;
        QVERIFY2(server.start(scenarioWith({{QStringLiteral("tls"), true},
                                            {QStringLiteral("tls_min_version"), minVersion},
                                            {QStringLiteral("tls_max_version"), maxVersion}})),
                 qPrintable(server.errorText()));

        const CurlResult sent =
            upload(server, m_sample, QStringLiteral("c.zip"), kTlsOptions + curlOptions);
        QVERIFY2((sent.exitCode == 0) == accepted, qPrintable(sent.output));
        QCOMPARE(QFile::exists(server.home() + QStringLiteral("/c.zip")), accepted);
        if (!accepted)
            QVERIFY(server.commandLog().filter(QStringLiteral("USER")).isEmpty());
    }

    void tlsNotAvailable_data() {
        QTest::addColumn<QJsonObject>("scenario");
        QTest::newRow("AUTH refused")
            << scenarioWith({{QStringLiteral("tls"), true}, {QStringLiteral("refuse_auth"), true}});
        QTest::newRow("plain FTP server") << FtpTestServer::defaultScenario();
    }

    // A client that requires TLS gives up before it logs in.
    void tlsNotAvailable() {
        QFETCH(QJsonObject, scenario);
        FtpTestServer server;
        QVERIFY2(server.start(scenario), qPrintable(server.errorText()));

        const CurlResult sent = upload(server, m_sample, QStringLiteral("d.zip"), kTlsOptions);
        QVERIFY2(sent.exitCode != 0, qPrintable(sent.output));
        const QStringList log = server.commandLog();
        QVERIFY2(!log.filter(QRegularExpression(QStringLiteral("^CLEAR AUTH "))).isEmpty(),
                 qPrintable(log.join('\n')));
        QVERIFY2(log.filter(QRegularExpression(QStringLiteral("^\\w+ (USER|PASS)\\b"))).isEmpty(),
                 qPrintable(log.join('\n')));
        QVERIFY(log.filter(QRegularExpression(QStringLiteral("^TLS "))).isEmpty());
    }

    // The right password is refused all the same.
    void refusedLogin() {
        FtpTestServer server;
        QVERIFY2(server.start(scenarioWith({{QStringLiteral("refuse_login"), true}})),
                 qPrintable(server.errorText()));

        const CurlResult sent = upload(server, m_sample, QStringLiteral("e.zip"));
        QCOMPARE(sent.exitCode, 67); // CURLE_LOGIN_DENIED
        QVERIFY2(sent.output.contains(QStringLiteral("530")), qPrintable(sent.output));
        QVERIFY(server.commandLog().contains(QStringLiteral("CLEAR PASS ****")));
        QVERIFY(!server.commandLog().contains(QStringLiteral("CLEAR STOR e.zip")));
    }

    void droppedTransfer_data() {
        QTest::addColumn<bool>("tls");
        QTest::newRow("plain") << false;
        QTest::newRow("TLS") << true;
    }

    // The first STOR is cut after 64 KiB of a 1 MiB file; the retry arrives whole.
    void droppedTransfer() {
        QFETCH(bool, tls);
        const QString big = m_files.filePath(QStringLiteral("big.bin"));
        QVERIFY(writeFile(big, sampleBytes(1 << 20)));
        FtpTestServer server;
        QVERIFY2(server.start(scenarioWith(
                     {{QStringLiteral("tls"), tls}, {QStringLiteral("drop_data_after"), 65536}})),
                 qPrintable(server.errorText()));
        const QStringList options = tls ? kTlsOptions : QStringList{};
        const QString stored = server.home() + QStringLiteral("/f.zip");

        const CurlResult first = upload(server, big, QStringLiteral("f.zip"), options);
        QVERIFY2(first.exitCode != 0, qPrintable(first.output));
        // The client may see the reset before the server has closed the file.
        QTRY_COMPARE(readAll(stored), readAll(big).left(65536));

        const CurlResult second = upload(server, big, QStringLiteral("f.zip"), options);
        QVERIFY2(second.exitCode == 0, qPrintable(second.output + server.serverLog()));
        QCOMPARE(readAll(stored), readAll(big));
    }

    void lineEnds_data() {
        QTest::addColumn<bool>("convert");
        QTest::addColumn<bool>("ascii");
        QTest::addColumn<QByteArray>("source");
        QTest::addColumn<QByteArray>("stored");
        // curl -B sends LF as CR LF, as TYPE A wants; a lone CR goes as it is.
        QTest::newRow("converting server, TYPE A")
            << true << true << QByteArray("a\nb\n\nc\rd") << QByteArray("a\nb\n\nc\rd");
        QTest::newRow("converting server, TYPE I")
            << true << false << QByteArray("a\r\nb\r\n\r\nc\rd")
            << QByteArray("a\r\nb\r\n\r\nc\rd");
        QTest::newRow("keeping server, TYPE A")
            << false << true << QByteArray("a\nb\n\nc\rd") << QByteArray("a\r\nb\r\n\r\nc\rd");
    }

    void lineEnds() {
        QFETCH(bool, convert);
        QFETCH(bool, ascii);
        QFETCH(QByteArray, source);
        QFETCH(QByteArray, stored);
        const QString text = m_files.filePath(QStringLiteral("text.txt"));
        QVERIFY(writeFile(text, source));
        FtpTestServer server;
        QVERIFY2(server.start(scenarioWith({{QStringLiteral("convert_line_ends"), convert}})),
                 qPrintable(server.errorText()));

        const CurlResult sent = upload(server, text, QStringLiteral("g.txt"),
                                       ascii ? QStringList{QStringLiteral("-B")} : QStringList{});
        QVERIFY2(sent.exitCode == 0, qPrintable(sent.output));
        QCOMPARE(readAll(server.home() + QStringLiteral("/g.txt")), stored);
        QVERIFY(server.commandLog().contains(ascii ? QStringLiteral("CLEAR TYPE A")
                                                   : QStringLiteral("CLEAR TYPE I")));
    }

    // A server left behind by a crashed test ends by itself.
    void endsAfterTimeLimit() {
        FtpTestServer server;
        QVERIFY2(server.start(scenarioWith({{QStringLiteral("time_limit"), 1}})),
                 qPrintable(server.errorText()));
        QTRY_VERIFY_WITH_TIMEOUT(!server.isRunning(), 10000);
        QVERIFY2(server.serverLog().contains(QStringLiteral("shutting down")),
                 qPrintable(server.serverLog()));
    }
};

QTEST_GUILESS_MAIN(TestFtpServer)
#include "tst_ftpserver.moc"
