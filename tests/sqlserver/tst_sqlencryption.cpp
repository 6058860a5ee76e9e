#include "FreeTdsTestConfig.h"
#include "TdsTestServer.h"
#include "TempFolder.h"
#include "platform/ProgramError.h"
#include "sqlserver/FreeTdsPrivateConfig.h"
#include "sqlserver/SqlConnection.h"
#include "sqlserver/SqlConnectionString.h"
#include "sqlserver/SqlDbProcess.h"
#include "sqlserver/SqlEncryption.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QtTest>

namespace {

// A certificate of the test server: signed by its authority for 127.0.0.1 and localhost, one
// naming another host only, or one signed by itself.
enum class Certificate { Good, WrongName, UnknownAuthority };

QJsonObject tlsScenario(const QString& encryption, Certificate certificate, const QString& listen) {
    QJsonObject scenario = TdsTestServer::defaultScenario();
    scenario[QStringLiteral("encryption")] = encryption;
    scenario[QStringLiteral("tls_folder")] = QStringLiteral("{folder}");
    scenario[QStringLiteral("listen")] = listen;
    if (certificate == Certificate::WrongName)
        scenario[QStringLiteral("certificate")] =
            QJsonObject{{QStringLiteral("only_name"), QStringLiteral("elsewhere.example")}};
    else if (certificate == Certificate::UnknownAuthority)
        scenario[QStringLiteral("certificate")] =
            QJsonObject{{QStringLiteral("untrusted"), true}};
    return scenario;
}

} // namespace

class TestSqlEncryption : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void iniKeys_data();
    void iniKeys();
    void levelPerServer_data();
    void levelPerServer();
    void privateConfig_data();
    void privateConfig();
    void loginAgainstTdsServer_data();
    void loginAgainstTdsServer();
    void strictWithoutItsAuthorityFileConnectsNowhere();
    void serverSectionOfFreeTdsConfStillApplies();

private:
    FreeTdsTestConfig m_conf;
};

void TestSqlEncryption::initTestCase() {
    QVERIFY(m_conf.install());
}

void TestSqlEncryption::cleanup() {
    SqlDbProcess::setEncryptionIni({});
    SqlDbProcess::takeUnverifiedServers();
}

void TestSqlEncryption::iniKeys_data() {
    QTest::addColumn<QString>("ini"); // empty: no file
    QTest::addColumn<bool>("strict");
    QTest::addColumn<QString>("caFile"); // relative to the INI's folder
    QTest::addColumn<bool>("warned");

    QTest::newRow("no file: require") << QString() << false << QString() << false;
    QTest::newRow("no key: require") << QStringLiteral("[OrvelSQLBackup]\r\nInternet=1\r\n")
                                     << false << QString() << false;
    QTest::newRow("empty value: require")
        << QStringLiteral("[OrvelSQLBackup]\nSqlEncrypt=\n") << false << QString() << false;
    QTest::newRow("require, CA file unused")
        << QStringLiteral("[OrvelSQLBackup]\nSqlEncrypt=require\nSqlCAFile=ca.pem\n") << false
        << QString() << false;
    QTest::newRow("strict, key and value spelled otherwise")
        << QStringLiteral("[orvelsqlbackup]\nsqlencrypt = STRICT\n") << true << QString() << false;
    QTest::newRow("strict with a relative CA file")
        << QStringLiteral("[OrvelSQLBackup]\nSqlEncrypt=strict\nSqlCAFile=certs/ca.pem\n") << true
        << QStringLiteral("certs/ca.pem") << false;
    QTest::newRow("unknown value: warned, require")
        << QStringLiteral("[OrvelSQLBackup]\nSqlEncrypt=ja\n") << false << QString() << true;
    QTest::newRow("off is no choice here: warned, require")
        << QStringLiteral("[OrvelSQLBackup]\nSqlEncrypt=off\n") << false << QString() << true;
}

void TestSqlEncryption::iniKeys() {
    QFETCH(QString, ini);
    QFETCH(bool, strict);
    QFETCH(QString, caFile);
    QFETCH(bool, warned);
    TempFolder folder;
    const QString path = folder.file(QStringLiteral("OrvelSQLBackup.INI"));
    if (!ini.isEmpty()) {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(ini.toUtf8());
    }
    const SqlEncryption encryption = SqlEncryption::fromIni(path);
    QCOMPARE(encryption.mode == SqlEncryption::Mode::Strict, strict);
    QCOMPARE(encryption.caFile, caFile.isEmpty() ? QString() : folder.file(caFile));
    if (warned) {
        QVERIFY2(encryption.warning.startsWith(QStringLiteral("Warnung: SqlEncrypt=")),
                 qPrintable(encryption.warning));
        QVERIFY(encryption.warning.endsWith(QStringLiteral("es gilt require")));
    } else {
        QVERIFY2(encryption.warning.isEmpty(), qPrintable(encryption.warning));
    }
}

void TestSqlEncryption::levelPerServer_data() {
    QTest::addColumn<QString>("dataSource");
    QTest::addColumn<int>("requireLevel"); // what SqlEncrypt=require asks for

    const int request = int(SqlEncryption::Level::Request);
    const int require = int(SqlEncryption::Level::Require);
    QTest::newRow("127.0.0.1 with a port") << QStringLiteral("127.0.0.1,1433") << request;
    QTest::newRow("(local) with an instance") << QStringLiteral("(local)\\SQLEXPRESS") << request;
    QTest::newRow(".") << QStringLiteral(".") << request;
    QTest::newRow("LOCALHOST") << QStringLiteral("tcp:LOCALHOST,1533") << request;
    QTest::newRow("::1") << QStringLiteral("::1") << request;
    QTest::newRow("another loopback address") << QStringLiteral("127.0.0.2") << require;
    QTest::newRow("a name") << QStringLiteral("sql01\\PROD") << require;
    QTest::newRow("a name that starts like localhost")
        << QStringLiteral("localhost.example.org") << require;
}

void TestSqlEncryption::levelPerServer() {
    QFETCH(QString, dataSource);
    QFETCH(int, requireLevel);
    const QString host = SqlServerAddress::parse(dataSource).host;
    SqlEncryption encryption;
    QCOMPARE(int(encryption.levelFor(host)), requireLevel);
    encryption.mode = SqlEncryption::Mode::Strict;
    QCOMPARE(encryption.levelFor(host), SqlEncryption::Level::Verify);
}

void TestSqlEncryption::privateConfig_data() {
    QTest::addColumn<int>("level");
    QTest::addColumn<bool>("withCaFile");
    QTest::addColumn<QString>("encryption");
    QTest::addColumn<QString>("caFile"); // "bundle": the private copy; empty: no such line

    QTest::newRow("this machine") << int(SqlEncryption::Level::Request) << false << "request"
                                  << QString();
    QTest::newRow("another machine") << int(SqlEncryption::Level::Require) << true << "require"
                                     << QString();
    QTest::newRow("strict, system authorities") << int(SqlEncryption::Level::Verify) << false
                                                << "require" << "system";
    QTest::newRow("strict, plus SqlCAFile") << int(SqlEncryption::Level::Verify) << true
                                            << "require" << "bundle";
}

void TestSqlEncryption::privateConfig() {
    QFETCH(int, level);
    QFETCH(bool, withCaFile);
    QFETCH(QString, encryption);
    QFETCH(QString, caFile);
    TempFolder folder;
    const QString extra = folder.file(QStringLiteral("firma-ca.pem"));
    const QByteArray extraText =
        "-----BEGIN CERTIFICATE-----\nTUlJQmZpcm1h\n-----END CERTIFICATE-----\n";
    {
        QFile f(extra);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(extraText);
    }
    const QString conf = QFile::decodeName(FreeTdsPrivateConfig::prepare(
        SqlEncryption::Level(level), withCaFile ? extra : QString()));

    // Private: the folder the owner's alone, the file readable by the owner only.
    const QFileInfo info(conf);
    QCOMPARE(info.permissions() & ~(QFile::ReadUser | QFile::WriteUser),
             QFile::ReadOwner | QFile::WriteOwner);
    QCOMPARE(QFileInfo(info.absolutePath()).permissions() &
                 ~(QFile::ReadUser | QFile::WriteUser | QFile::ExeUser),
             QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QVERIFY(!info.absolutePath().startsWith(folder.path()));

    QFile file(conf);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(file.readAll());
    QVERIFY2(text.startsWith(QStringLiteral("[global]\n")), qPrintable(text));
    QVERIFY2(text.contains(QStringLiteral("\tencryption = ") + encryption + QLatin1Char('\n')),
             qPrintable(text));
    QVERIFY2(!text.contains(QLatin1String("password")), qPrintable(text));
    static const QRegularExpression caLine(QStringLiteral("\tca file = ([^\n]*)\n"));
    const QRegularExpressionMatch match = caLine.match(text);
    if (caFile.isEmpty()) {
        QVERIFY2(!match.hasMatch(), qPrintable(text));
        return;
    }
    QVERIFY2(match.hasMatch(), qPrintable(text));
    QVERIFY(text.contains(QStringLiteral("\tcheck certificate hostname = yes\n")));
    if (caFile == QLatin1String("system")) {
        QCOMPARE(match.captured(1), QStringLiteral("system"));
        return;
    }
    // The system's authorities first, then the firm's: one file, as FreeTDS takes one.
    QFile bundle(match.captured(1));
    QVERIFY(bundle.open(QIODevice::ReadOnly));
    QCOMPARE(QFileInfo(bundle.fileName()).absolutePath(), info.absolutePath());
    QCOMPARE(bundle.permissions() & ~(QFile::ReadUser | QFile::WriteUser),
             QFile::ReadOwner | QFile::WriteOwner);
    const QByteArray bundled = bundle.readAll();
    QVERIFY(bundled.endsWith(extraText));
    QFile system(QStringLiteral("/etc/ssl/certs/ca-certificates.crt"));
    if (system.open(QIODevice::ReadOnly))
        QVERIFY(bundled.startsWith(system.readAll()));
}

void TestSqlEncryption::loginAgainstTdsServer_data() {
    QTest::addColumn<QString>("sqlEncrypt");
    QTest::addColumn<bool>("withCaFile"); // SqlCAFile= the test authority
    QTest::addColumn<QString>("serverEncryption");
    QTest::addColumn<int>("certificate");
    QTest::addColumn<QString>("listen");
    QTest::addColumn<QString>("host"); // as the job names the server
    QTest::addColumn<QString>("login"); // how LOGIN7 arrived; empty: never
    QTest::addColumn<QString>("refusal"); // part of the failure; empty: connected
    QTest::addColumn<bool>("unverified"); // listed as encrypted without a checked certificate

    const int good = int(Certificate::Good);
    const int wrongName = int(Certificate::WrongName);
    const int unknown = int(Certificate::UnknownAuthority);
    const QString local = QStringLiteral("127.0.0.1");
    const QString other = QStringLiteral("127.0.0.2"); // stands for another machine
    const QString overTls = QStringLiteral("over TLS");
    const QString clear = QStringLiteral("in the clear");
    const QString noTls = QStringLiteral("der Server bietet keine Verschlüsselung an");

    QTest::newRow("strict, good certificate: connected, encrypted")
        << "strict" << true << "on" << good << local << local << overTls << QString() << false;
    QTest::newRow("strict, good certificate by name, server does not force TLS")
        << "strict" << true << "off" << good << local << "localhost" << overTls << QString()
        << false;
    QTest::newRow("strict, wrong name: refused before the login")
        << "strict" << true << "on" << wrongName << local << local << QString()
        << QStringLiteral("der Name im Zertifikat des Servers passt nicht zu \"127.0.0.1\"")
        << false;
    QTest::newRow("strict, unknown authority: refused before the login")
        << "strict" << true << "on" << unknown << local << local << QString()
        << QStringLiteral("von keiner vertrauten Zertifizierungsstelle ausgestellt") << false;
    QTest::newRow("strict, test authority not in SqlCAFile: refused")
        << "strict" << false << "on" << good << local << local << QString()
        << QStringLiteral("von keiner vertrauten Zertifizierungsstelle ausgestellt") << false;
    QTest::newRow("strict, server without TLS: refused before the login")
        << "strict" << true << "not_sup" << good << local << local << QString() << noTls << false;
    QTest::newRow("require, another machine: encrypted, not verified")
        << "require" << false << "on" << unknown << other << other << overTls << QString() << true;
    QTest::newRow("require by default, another machine that offers TLS without forcing it")
        << "" << false << "off" << wrongName << other << other << overTls << QString() << true;
    QTest::newRow("require, another machine without TLS: refused before the login")
        << "require" << false << "not_sup" << good << other << other << QString() << noTls
        << false;
    QTest::newRow("unknown value as require: another machine without TLS refused")
        << "ja" << false << "not_sup" << good << other << other << QString() << noTls << false;
    QTest::newRow("require, this machine without TLS: works as before")
        << "require" << false << "not_sup" << good << local << "localhost" << clear << QString()
        << false;
    QTest::newRow("require, this machine offering TLS: the login encrypted")
        << "require" << false << "off" << unknown << local << local << overTls << QString()
        << false;
}

void TestSqlEncryption::loginAgainstTdsServer() {
    QFETCH(QString, sqlEncrypt);
    QFETCH(bool, withCaFile);
    QFETCH(QString, serverEncryption);
    QFETCH(int, certificate);
    QFETCH(QString, listen);
    QFETCH(QString, host);
    QFETCH(QString, login);
    QFETCH(QString, refusal);
    QFETCH(bool, unverified);

    TdsTestServer server;
    QVERIFY2(server.start(tlsScenario(serverEncryption, Certificate(certificate), listen)),
             qPrintable(server.errorText()));
    TempFolder folder;
    const QString iniPath = folder.file(QStringLiteral("OrvelSQLBackup.INI"));
    {
        QFile ini(iniPath);
        QVERIFY(ini.open(QIODevice::WriteOnly));
        QByteArray text = "[OrvelSQLBackup]\r\nSqlEncrypt=" + sqlEncrypt.toUtf8() + "\r\n";
        if (withCaFile)
            text += "SqlCAFile=" + QFile::encodeName(server.folder()) + "/ca.crt\r\n";
        ini.write(text);
    }
    SqlDbProcess::setEncryptionIni(iniPath);

    const QString dataSource = QStringLiteral("%1,%2").arg(host).arg(server.port());
    SqlConnection connection;
    connection.setConnectionString(SqlConnectionString::build(
        QStringLiteral("geheim"), QStringLiteral("sa"), QStringLiteral("Lager"), dataSource));
    QString failure;
    try {
        connection.open();
    } catch (const std::exception& e) {
        failure = exceptionText(e);
    }
    connection.close();

    const QString serverLog = server.serverLog();
    if (refusal.isEmpty()) {
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
    } else {
        QVERIFY2(failure.startsWith(
                     QStringLiteral("Keine verschlüsselte Verbindung zum SQL Server %1 (SqlEncrypt=")
                         .arg(dataSource)),
                 qPrintable(failure));
        QVERIFY2(failure.contains(refusal), qPrintable(failure));
    }
    // The password went only where the login arrived, and only as it arrived.
    if (login.isEmpty()) {
        QVERIFY2(!serverLog.contains(QStringLiteral("LOGIN7 received")), qPrintable(serverLog));
    } else {
        QVERIFY2(serverLog.contains(QStringLiteral("LOGIN7 received ") + login),
                 qPrintable(serverLog));
        QCOMPARE(serverLog.count(QStringLiteral("LOGIN7 received")), 1);
    }
    QCOMPARE(SqlDbProcess::takeUnverifiedServers(),
             unverified ? QStringList{dataSource} : QStringList{});
}

void TestSqlEncryption::strictWithoutItsAuthorityFileConnectsNowhere() {
    TdsTestServer server;
    QVERIFY2(server.start(tlsScenario(QStringLiteral("on"), Certificate::Good,
                                      QStringLiteral("127.0.0.1"))),
             qPrintable(server.errorText()));
    TempFolder folder;
    const QString iniPath = folder.file(QStringLiteral("OrvelSQLBackup.INI"));
    {
        QFile ini(iniPath);
        QVERIFY(ini.open(QIODevice::WriteOnly));
        ini.write("[OrvelSQLBackup]\nSqlEncrypt=strict\nSqlCAFile=fehlt.pem\n");
    }
    SqlDbProcess::setEncryptionIni(iniPath);
    SqlConnection connection;
    connection.setConnectionString(
        SqlConnectionString::build(QStringLiteral("geheim"), QStringLiteral("sa"),
                                   QStringLiteral("Lager"),
                                   QStringLiteral("127.0.0.1,%1").arg(server.port())));
    QString failure;
    try {
        connection.open();
    } catch (const std::exception& e) {
        failure = exceptionText(e);
    }
    QCOMPARE(failure, QStringLiteral("Die Datei der Zertifizierungsstellen (SqlCAFile) kann nicht "
                                     "gelesen werden: %1; keine Verbindung zum SQL Server")
                          .arg(folder.file(QStringLiteral("fehlt.pem"))));
    // Not even a PRELOGIN: the server saw no client at all.
    QVERIFY2(server.serverLog().isEmpty(), qPrintable(server.serverLog()));
}

void TestSqlEncryption::serverSectionOfFreeTdsConfStillApplies() {
    // A server named in the system's freetds.conf keeps its address and port there; the
    // encryption asked for comes on top of it.
    TdsTestServer server;
    QVERIFY2(server.start(tlsScenario(QStringLiteral("on"), Certificate::UnknownAuthority,
                                      QStringLiteral("127.0.0.2"))),
             qPrintable(server.errorText()));
    TempFolder folder;
    const QString confPath = folder.file(QStringLiteral("freetds.conf"));
    {
        QFile conf(confPath);
        QVERIFY(conf.open(QIODevice::WriteOnly));
        conf.write(QStringLiteral("[global]\n\ttds version = 7.4\n[lagerserver]\n\thost = "
                                  "127.0.0.2\n\tport = %1\n")
                       .arg(server.port())
                       .toUtf8());
    }
    const QByteArray previous = qgetenv("FREETDSCONF");
    qputenv("FREETDSCONF", QFile::encodeName(confPath));
    const auto restore = qScopeGuard([&] { qputenv("FREETDSCONF", previous); });

    SqlConnection connection;
    connection.setConnectionString(SqlConnectionString::build(
        QStringLiteral("geheim"), QStringLiteral("sa"), QStringLiteral("Lager"),
        QStringLiteral("lagerserver")));
    connection.open();
    connection.close();
    QVERIFY2(server.serverLog().contains(QStringLiteral("LOGIN7 received over TLS")),
             qPrintable(server.serverLog()));
    QCOMPARE(SqlDbProcess::takeUnverifiedServers(), QStringList{QStringLiteral("lagerserver")});
}

QTEST_GUILESS_MAIN(TestSqlEncryption)
#include "tst_sqlencryption.moc"
