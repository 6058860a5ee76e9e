// The headless way to trust an SFTP or FTPS server: hostkey shows the key of the job's server
// and whether known_hosts (ftps_known_hosts) knows it, and stores it only when it is exactly the
// one named.
#include "CliProcess.h"
#include "FtpTestServer.h"
#include "SftpTestServer.h"
#include "TempFolder.h"

#include <QFile>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

class TestCliHostkey : public QObject {
    Q_OBJECT

    QByteArray knownHosts() const {
        QFile f(m_folder.file(QStringLiteral("known_hosts")));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

private Q_SLOTS:
    void initTestCase() {
        const QString library = QStringLiteral("libtgputtylib.so");
        QVERIFY(QFile::copy(qEnvironmentVariable("ORVEL_BUILD_DIR") + QStringLiteral("/program/") +
                                library,
                            m_folder.file(library)));
        QVERIFY2(m_server.start(SftpTestServer::defaultScenario()),
                 qPrintable(m_server.errorText()));
        QJsonObject ftps = FtpTestServer::defaultScenario();
        ftps[QStringLiteral("tls")] = true;
        ftps[QStringLiteral("tls_min_version")] = QStringLiteral("1.2");
        QVERIFY2(m_ftps.start(ftps), qPrintable(m_ftps.errorText()));
        const QByteArray password = "geheim\n";
        QCOMPARE(m_cli
                     .run({QStringLiteral("job"), QStringLiteral("add"), QStringLiteral("Lager"),
                           QStringLiteral("DBServer=sql01"), QStringLiteral("FTP_SSL=2"),
                           QStringLiteral("FTP_SERVER=127.0.0.1"),
                           QStringLiteral("FTP_Port=%1").arg(m_server.port()),
                           QStringLiteral("FTP_Benutzer=backup"), QStringLiteral("--secret"),
                           QStringLiteral("DBPasswort"), QStringLiteral("--secret"),
                           QStringLiteral("FTP_Passwort")},
                          password + password)
                     .code,
                 0);
        QCOMPARE(m_cli
                     .run({QStringLiteral("job"), QStringLiteral("add"), QStringLiteral("Kasse"),
                           QStringLiteral("DBServer=sql01"), QStringLiteral("FTP_SSL=1"),
                           QStringLiteral("FTP_SERVER=127.0.0.1"),
                           QStringLiteral("FTP_Port=%1").arg(m_ftps.port()),
                           QStringLiteral("FTP_Benutzer=backup"), QStringLiteral("--secret"),
                           QStringLiteral("DBPasswort"), QStringLiteral("--secret"),
                           QStringLiteral("FTP_Passwort")},
                          password + password)
                     .code,
                 0);
        QCOMPARE(m_cli
                     .run({QStringLiteral("job"), QStringLiteral("add"), QStringLiteral("Buch"),
                           QStringLiteral("DBServer=sql01"), QStringLiteral("FTP_SSL=0"),
                           QStringLiteral("FTP_SERVER=127.0.0.1"), QStringLiteral("--secret"),
                           QStringLiteral("DBPasswort")},
                          password)
                     .code,
                 0);
    }

    // Shown, refused when another key is named, stored when it is the one shown; then known.
    void showAcceptKnown() {
        CliResult r = m_cli.run({QStringLiteral("hostkey"), QStringLiteral("Lager")});
        QCOMPARE(r.code, 1);
        const QRegularExpression line(
            QStringLiteral(R"(^127\.0\.0\.1:%1 \S+ (SHA256:\S+)\n)").arg(m_server.port()));
        const auto match = line.match(r.out);
        QVERIFY2(match.hasMatch(), qPrintable(r.out + r.err));
        const QString fingerprint = match.captured(1);
        QVERIFY2(r.out.contains(QStringLiteral("Status: nicht bekannt")), qPrintable(r.out));
        QVERIFY(knownHosts().isEmpty());

        r = m_cli.run({QStringLiteral("hostkey"), QStringLiteral("Lager"),
                       QStringLiteral("--accept"),
                       QStringLiteral("SHA256:AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA")});
        QCOMPARE(r.code, 2);
        QVERIFY2(
            r.err.contains(QStringLiteral("Nichts gespeichert: der Server zeigt ") + fingerprint),
            qPrintable(r.err));
        QVERIFY(knownHosts().isEmpty());

        r = m_cli.run({QStringLiteral("hostkey"), QStringLiteral("Lager"),
                       QStringLiteral("--accept"), fingerprint});
        QVERIFY2(r.code == 0, qPrintable(r.out + r.err));
        QCOMPARE(knownHosts(), m_server.knownHostsLine());

        r = m_cli.run({QStringLiteral("hostkey"), QStringLiteral("Lager")});
        QCOMPARE(r.code, 0);
        QVERIFY2(r.out.contains(QStringLiteral("Status: bekannt")), qPrintable(r.out));
    }

    // An FTPS server's certificate key, before any login: the pin OpenSSL's command line makes
    // of it, refused when another is named, kept in ftps_known_hosts when it is the one shown.
    void ftpsShowAcceptKnown() {
        QProcess openssl;
        openssl.start(QStringLiteral("sh"),
                      {QStringLiteral("-c"),
                       QStringLiteral("openssl x509 -in \"$1\" -pubkey -noout | openssl pkey "
                                      "-pubin -outform der | openssl dgst -sha256 -binary | "
                                      "openssl base64 -A"),
                       QStringLiteral("sh"), m_ftps.certificateFile()});
        QVERIFY(openssl.waitForFinished(30000) && openssl.exitCode() == 0);
        const QString pin =
            QStringLiteral("sha256//") + QString::fromLatin1(openssl.readAllStandardOutput().trimmed());
        const QString entry = QStringLiteral("127.0.0.1:%1").arg(m_ftps.port());

        CliResult r = m_cli.run({QStringLiteral("hostkey"), QStringLiteral("Kasse")});
        QVERIFY2(r.code == 1, qPrintable(r.out + r.err));
        QVERIFY2(r.out.startsWith(entry + QLatin1Char(' ') + pin + QLatin1Char('\n')),
                 qPrintable(r.out + r.err));
        QVERIFY2(r.out.contains(QStringLiteral("Status: nicht bekannt")), qPrintable(r.out));
        QVERIFY(ftpsKnownHosts().isEmpty());

        r = m_cli.run({QStringLiteral("hostkey"), QStringLiteral("Kasse"), QStringLiteral("--accept"),
                       QStringLiteral("sha256//AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=")});
        QCOMPARE(r.code, 2);
        QVERIFY(ftpsKnownHosts().isEmpty());

        r = m_cli.run({QStringLiteral("hostkey"), QStringLiteral("Kasse"), QStringLiteral("--accept"),
                       pin});
        QVERIFY2(r.code == 0, qPrintable(r.out + r.err));
        QVERIFY2(ftpsKnownHosts().startsWith((entry + QLatin1Char(' ') + pin + QLatin1Char(' ')).toLatin1()),
                 ftpsKnownHosts().constData());
        r = m_cli.run({QStringLiteral("hostkey"), QStringLiteral("Kasse")});
        QCOMPARE(r.code, 0);
        QVERIFY2(r.out.contains(QStringLiteral("Status: bekannt")), qPrintable(r.out));
        // Nothing of the login ever went to the server.
        const QString commands = m_ftps.commandLog().join(QLatin1Char('\n'));
        QVERIFY2(!commands.contains(QStringLiteral("USER")) && !commands.contains(QStringLiteral("PASS")),
                 qPrintable(commands));
        QVERIFY2(commands.contains(QStringLiteral("CLEAR AUTH TLS")), qPrintable(commands));
    }

    void refusals_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("message");
        QTest::newRow("a plain FTP job")
            << QStringList{QStringLiteral("Buch")}
            << QStringLiteral("lädt nicht per SFTP, FTPS oder S3 hoch");
        QTest::newRow("no such job")
            << QStringList{QStringLiteral("Buero")} << QStringLiteral("Kein Auftrag 'Buero'");
        QTest::newRow("no fingerprint")
            << QStringList{QStringLiteral("Lager"), QStringLiteral("--accept")}
            << QStringLiteral("--accept braucht einen Fingerabdruck");
        QTest::newRow("not a SHA-256 fingerprint")
            << QStringList{QStringLiteral("Lager"), QStringLiteral("--accept"),
                           QStringLiteral("ab:cd")}
            << QStringLiteral("--accept braucht einen Fingerabdruck");
    }
    void refusals() {
        QFETCH(QStringList, arguments);
        QFETCH(QString, message);
        const QByteArray before = knownHosts();
        const CliResult r = m_cli.run(QStringList{QStringLiteral("hostkey")} + arguments);
        QCOMPARE(r.code, 2);
        QVERIFY2(r.err.contains(message), qPrintable(r.err));
        QCOMPARE(knownHosts(), before);
    }

private:
    QByteArray ftpsKnownHosts() const {
        QFile f(m_folder.file(QStringLiteral("ftps_known_hosts")));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    TempFolder m_folder;
    CliProcess m_cli{m_folder.path()};
    SftpTestServer m_server;
    FtpTestServer m_ftps;
};

QTEST_GUILESS_MAIN(TestCliHostkey)
#include "tst_clihostkey.moc"
