#include "ClosedPort.h"
#include "FreeTdsTestConfig.h"
#include "TdsTestServer.h"
#include "TempFolder.h"
#include "sqlserver/SqlCommand.h"
#include "sqlserver/SqlConnection.h"
#include "sqlserver/SqlConnectionString.h"
#include "sqlserver/SqlDbProcess.h"
#include "sqlserver/SqlQuery.h"
#include "sqlserver/SqlQuoting.h"
#include "platform/ProgramError.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QMutex>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <thread>

namespace {

QString failureOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const std::exception& e) {
        return exceptionText(e);
    }
    return {};
}

// Answers SQL Browser requests on 127.0.0.1:1434 the way SQL Server's browser does: the
// named instance listens on the given TCP port.
class BrowserStandIn {
public:
    bool start(int tcpPort) {
        m_fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(1434);
        if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
            return false;
        timeval tv{0, 100000};
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        m_thread = std::thread([this, tcpPort] {
            while (!m_stop) {
                char buf[512];
                sockaddr_in from{};
                socklen_t len = sizeof from;
                const ssize_t n =
                    ::recvfrom(m_fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
                if (n < 2 || buf[0] != 0x04)
                    continue;
                const QString instance = QString::fromLatin1(buf + 1, n - 1).remove(QChar(0));
                {
                    QMutexLocker lock(&m_mutex);
                    m_asked.append(instance);
                }
                const QByteArray data =
                    QStringLiteral("ServerName;SQLTEST;InstanceName;%1;IsClustered;No;Version;16.0."
                                   "1000.6;tcp;%2;;")
                        .arg(instance)
                        .arg(tcpPort)
                        .toLatin1();
                QByteArray reply;
                reply.append(char(0x05));
                reply.append(char(data.size() & 0xff));
                reply.append(char(data.size() >> 8));
                reply.append(data);
                ::sendto(m_fd, reply.constData(), size_t(reply.size()), 0,
                         reinterpret_cast<sockaddr*>(&from), len);
            }
        });
        return true;
    }
    ~BrowserStandIn() {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        if (m_fd >= 0)
            ::close(m_fd);
    }
    QStringList asked() {
        QMutexLocker lock(&m_mutex);
        return m_asked;
    }

private:
    int m_fd = -1;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
    QMutex m_mutex;
    QStringList m_asked;
};

int loginsIn(const QString& serverLog) {
    return int(serverLog.count(QStringLiteral(" logged in to ")));
}

} // namespace

class TestSqlServerClient : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void queryReadsRowsByColumnName();
    void statementOutcome_data();
    void statementOutcome();
    void connectFailureCarriesText_data();
    void connectFailureCarriesText();
    void timeoutIsAFailureWithClearText();
    void timeoutGivesUpOnAServerThatIgnoresTheCancel();
    void loginTimeoutEndsAHangingLogin();
    void commandKeepsAndRenewsItsConnection();
    void serverGoneBetweenStatements();
    void awkwardNamesAndPasswordWorkEndToEnd();
    void namedInstanceIsResolvedThroughTheBrowser_data();
    void namedInstanceIsResolvedThroughTheBrowser();

private:
    QString connectionString(const QString& catalog,
                             const QString& password = QStringLiteral("geheim")) const {
        return SqlConnectionString::build(password, QStringLiteral("sa"), catalog,
                                          m_server.dataSource());
    }
    bool startServer(QJsonObject scenario = TdsTestServer::defaultScenario()) {
        const bool ok = m_server.start(scenario);
        if (!ok)
            qWarning("%s", qPrintable(m_server.errorText()));
        return ok;
    }

    FreeTdsTestConfig m_conf;
    TdsTestServer m_server;
};

void TestSqlServerClient::initTestCase() {
    QVERIFY(m_conf.install());
}

void TestSqlServerClient::queryReadsRowsByColumnName() {
    QJsonObject scenario = TdsTestServer::defaultScenario();
    QJsonObject databases = scenario[QStringLiteral("databases")].toObject();
    QJsonObject lager = databases[QStringLiteral("Lager")].toObject();
    lager[QStringLiteral("files")] =
        QJsonArray{QJsonObject{{QStringLiteral("file_id"), 1},
                               {QStringLiteral("type"), 0},
                               {QStringLiteral("name"), QStringLiteral("Lager")},
                               {QStringLiteral("size"), 1024}},
                   QJsonObject{{QStringLiteral("file_id"), 2},
                               {QStringLiteral("type"), 1},
                               {QStringLiteral("name"), QStringLiteral("Lager_log")},
                               {QStringLiteral("size"), 128}},
                   QJsonObject{{QStringLiteral("file_id"), 3},
                               {QStringLiteral("type"), 0},
                               {QStringLiteral("name"), QStringLiteral("Lager_Ü2")},
                               {QStringLiteral("size"), 2147483647}}};
    databases[QStringLiteral("Lager")] = lager;
    scenario[QStringLiteral("databases")] = databases;
    QVERIFY(startServer(scenario));

    SqlQuery master;
    master.setConnectionString(connectionString(QStringLiteral("master")));
    master.setSql(
        QStringLiteral("SELECT Name, recovery_model_desc FROM sys.databases WHERE name='Lager'"));
    master.open();
    QVERIFY(master.isOpen());
    QCOMPARE(master.rows().size(), 1);
    QCOMPARE(master.rows()[0].text(QStringLiteral("recovery_model_desc")), QStringLiteral("FULL"));
    QCOMPARE(master.rows()[0].text(QStringLiteral("name")),
             QStringLiteral("Lager")); // any letter case
    master.close();
    QVERIFY(master.rows().isEmpty());

    SqlQuery files;
    files.setConnectionString(connectionString(QStringLiteral("Lager")));
    files.setSql(QStringLiteral("select * from sys.database_files"));
    files.open();
    const SqlRecords& rows = files.rows();
    QCOMPARE(rows.size(), 3);
    QCOMPARE(rows[0].integer(QStringLiteral("type")), 0);
    QCOMPARE(rows[0].text(QStringLiteral("file_id")), QStringLiteral("1"));
    QCOMPARE(rows[1].integer(QStringLiteral("type")), 1);
    QCOMPARE(rows[1].number(QStringLiteral("size")), 128.0);
    QCOMPARE(rows[2].text(QStringLiteral("name")), QStringLiteral("Lager_Ü2"));
    QCOMPARE(rows[2].number(QStringLiteral("size")) * 8.0, 2147483647.0 * 8.0);
    QVERIFY_THROWS_EXCEPTION(ProgramError, rows[0].value(QStringLiteral("no_such_column")));
}

void TestSqlServerClient::statementOutcome_data() {
    QTest::addColumn<QString>("statement");
    QTest::addColumn<QJsonArray>("fail");
    QTest::addColumn<QStringList>("errorTexts"); // empty: must succeed

    const QJsonArray none;
    QTest::newRow("backup succeeds, its info messages are no failure")
        << QStringLiteral("BACKUP DATABASE [Lager] TO DISK='%DIR%/Lager.BAK'") << none
        << QStringList{};
    QTest::newRow("shrink returns a result set that is released")
        << QStringLiteral("DBCC SHRINKFILE (1)") << none << QStringList{};
    QTest::newRow("informational message with severity 10")
        << QStringLiteral("DBCC CHECKDB ([Lager])")
        << QJsonArray{QJsonObject{{QStringLiteral("match"), QStringLiteral("CHECKDB")},
                                  {QStringLiteral("number"), 5701},
                                  {QStringLiteral("severity"), 10},
                                  {QStringLiteral("message"), QStringLiteral("nur zur Info")}}}
        << QStringList{};
    QTest::newRow("syntax error") << QStringLiteral("FOO BAR") << none
                                  << QStringList{QStringLiteral("Incorrect syntax near 'FOO'.")};
    QTest::newRow("empty shrink id") << QStringLiteral("DBCC SHRINKFILE ()") << none
                                     << QStringList{QStringLiteral("Incorrect syntax near ')'.")};
    QTest::newRow("injected consistency error")
        << QStringLiteral("DBCC CHECKDB ([Lager])")
        << QJsonArray{QJsonObject{{QStringLiteral("match"), QStringLiteral("DBCC CHECKDB")},
                                  {QStringLiteral("number"), 8921},
                                  {QStringLiteral("severity"), 16},
                                  {QStringLiteral("message"), QStringLiteral("Check terminated.")}}}
        << QStringList{QStringLiteral("Check terminated.")};
    QTest::newRow("backup into a missing folder: both messages in order")
        << QStringLiteral("BACKUP DATABASE [Lager] TO DISK='%DIR%/fehlt/Lager.BAK'") << none
        << QStringList{QStringLiteral("Cannot open backup device '%DIR%/fehlt/Lager.BAK'."),
                       QStringLiteral("BACKUP DATABASE is terminating abnormally.")};
}

void TestSqlServerClient::statementOutcome() {
    QFETCH(QString, statement);
    QFETCH(QJsonArray, fail);
    QFETCH(QStringList, errorTexts);
    QJsonObject scenario = TdsTestServer::defaultScenario();
    scenario[QStringLiteral("fail")] = fail;
    QVERIFY(startServer(scenario));
    TempFolder dir;
    const QString folder = QDir(dir.path()).absolutePath();
    statement.replace(QStringLiteral("%DIR%"), folder);

    SqlCommand command;
    command.setConnectionString(connectionString(QStringLiteral("Lager")));
    command.setCommandTimeout(30);
    command.setCommandText(statement);
    const QString error = failureOf([&] { command.execute(); });
    if (errorTexts.isEmpty()) {
        QVERIFY2(error.isEmpty(), qPrintable(error));
    } else {
        qsizetype from = 0;
        for (QString expected : errorTexts) {
            expected.replace(QStringLiteral("%DIR%"), folder);
            const qsizetype at = error.indexOf(expected, from);
            QVERIFY2(
                at >= from,
                qPrintable(QStringLiteral("\"%1\" not in order in \"%2\"").arg(expected, error)));
            from = at + expected.size();
        }
    }
    // A failed statement leaves the connection usable for the next one.
    command.setCommandText(QStringLiteral("DBCC SHRINKFILE (2)"));
    command.execute();
    QCOMPARE(loginsIn(m_server.serverLog()), 1);
}

void TestSqlServerClient::connectFailureCarriesText_data() {
    QTest::addColumn<QString>("dataSource"); // %SERVER%: the test server, %CLOSED%: nothing listens
    QTest::addColumn<QString>("catalog");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("provider");
    QTest::addColumn<QString>("expected");

    QTest::newRow("nothing listening")
        << QStringLiteral("127.0.0.1,%CLOSED%") << QStringLiteral("Lager")
        << QStringLiteral("geheim") << QString()
        << QStringLiteral("Unable to connect: Adaptive Server is unavailable or does not exist "
                          "(127.0.0.1,%CLOSED%)");
    QTest::newRow("wrong password")
        << QStringLiteral("%SERVER%") << QStringLiteral("Lager") << QStringLiteral("falsch")
        << QString() << QStringLiteral("Login failed for user 'sa'.");
    QTest::newRow("unknown database")
        << QStringLiteral("%SERVER%") << QStringLiteral("Nix") << QStringLiteral("geheim")
        << QString()
        << QStringLiteral("Cannot open database \"Nix\" requested by the login. The login failed.");
    QTest::newRow("other provider")
        << QStringLiteral("%SERVER%") << QStringLiteral("Lager") << QStringLiteral("geheim")
        << QStringLiteral("Provider=MSOLEDBSQL;")
        << QStringLiteral("Provider \"MSOLEDBSQL\" wird nicht unterstützt");
}

void TestSqlServerClient::connectFailureCarriesText() {
    QFETCH(QString, dataSource);
    QFETCH(QString, catalog);
    QFETCH(QString, password);
    QFETCH(QString, provider);
    QFETCH(QString, expected);
    QVERIFY(startServer());
    const QString closed = QString::number(closedPort());
    dataSource.replace(QStringLiteral("%SERVER%"), m_server.dataSource())
        .replace(QStringLiteral("%CLOSED%"), closed);
    expected.replace(QStringLiteral("%CLOSED%"), closed);

    QString text = SqlConnectionString::build(password, QStringLiteral("sa"), catalog, dataSource);
    if (!provider.isEmpty())
        text.replace(QStringLiteral("Provider=SQLOLEDB.1;"), provider);
    SqlConnection connection;
    connection.setConnectionString(text);
    const QString error = failureOf([&] { connection.open(); });
    QVERIFY2(error.contains(expected), qPrintable(error));
    QVERIFY(!connection.isOpen());
}

void TestSqlServerClient::timeoutIsAFailureWithClearText() {
    QJsonObject scenario = TdsTestServer::defaultScenario();
    scenario[QStringLiteral("delay")] =
        QJsonArray{QJsonObject{{QStringLiteral("match"), QStringLiteral("BACKUP DATABASE")},
                               {QStringLiteral("seconds"), 20}}};
    QVERIFY(startServer(scenario));
    TempFolder dir;

    SqlCommand command;
    command.setConnectionString(connectionString(QStringLiteral("Lager")));
    command.setCommandTimeout(1);
    command.setCommandText(QStringLiteral("BACKUP DATABASE [Lager] TO DISK=") +
                           SqlQuoting::text(dir.file(QStringLiteral("Lager.BAK"))));
    QElapsedTimer elapsed;
    elapsed.start();
    const QString error = failureOf([&] { command.execute(); });
    QVERIFY2(error.contains(QStringLiteral("Zeitüberschreitung")), qPrintable(error));
    QVERIFY2(error.contains(QStringLiteral("1 Sekunden")), qPrintable(error));
    QVERIFY2(elapsed.elapsed() < 15000, qPrintable(QString::number(elapsed.elapsed())));

    // The next statement of the job still runs.
    command.setCommandText(QStringLiteral("DBCC CHECKDB ([Lager])"));
    command.execute();
}

// A server that never acknowledges the cancel (frozen, or the connection went half-open): the
// call gives up once the cancel wait is over, not after a second full time-out, and the next
// statement runs on a new connection.
void TestSqlServerClient::timeoutGivesUpOnAServerThatIgnoresTheCancel() {
    QJsonObject scenario = TdsTestServer::defaultScenario();
    scenario[QStringLiteral("delay")] =
        QJsonArray{QJsonObject{{QStringLiteral("match"), QStringLiteral("DBCC CHECKDB")},
                               {QStringLiteral("seconds"), 30}}};
    scenario[QStringLiteral("ignore_cancel")] = true;
    QVERIFY(startServer(scenario));
    SqlDbProcess::setCancelWaitLimit(1);
    const auto restore =
        qScopeGuard([] { SqlDbProcess::setCancelWaitLimit(SqlDbProcess::DefaultCancelWaitLimit); });

    SqlCommand command;
    command.setConnectionString(connectionString(QStringLiteral("Lager")));
    command.setCommandTimeout(4);
    command.setCommandText(QStringLiteral("DBCC CHECKDB ([Lager])"));
    QElapsedTimer elapsed;
    elapsed.start();
    const QString error = failureOf([&] { command.execute(); });
    const qint64 ms = elapsed.elapsed();
    QVERIFY2(error.contains(QStringLiteral("Zeitüberschreitung")), qPrintable(error));
    // Four seconds for the statement, about one for the cancel; two full periods would be eight.
    QVERIFY2(ms >= 3000 && ms < 7000, qPrintable(QString::number(ms)));

    command.setCommandText(QStringLiteral("DBCC SHRINKFILE (1)"));
    command.execute();
}

// A server that accepts the connection but never answers the login must not hang the job.
void TestSqlServerClient::loginTimeoutEndsAHangingLogin() {
    QJsonObject scenario = TdsTestServer::defaultScenario();
    scenario[QStringLiteral("login_delay")] = 30;
    QVERIFY(startServer(scenario));
    SqlConnection connection;
    connection.setConnectionString(connectionString(QStringLiteral("Lager")) +
                                   QStringLiteral(";Connect Timeout=1"));
    QElapsedTimer elapsed;
    elapsed.start();
    const QString error = failureOf([&] { connection.open(); });
    QVERIFY2(error.startsWith(QStringLiteral("Zeitüberschreitung")), qPrintable(error));
    QVERIFY2(error.contains(QStringLiteral("innerhalb von 1 Sekunden")), qPrintable(error));
    QVERIFY2(elapsed.elapsed() < 10000, qPrintable(QString::number(elapsed.elapsed())));
    QVERIFY(!connection.isOpen());
}

void TestSqlServerClient::commandKeepsAndRenewsItsConnection() {
    QJsonObject scenario = TdsTestServer::defaultScenario();
    scenario[QStringLiteral("fail")] =
        QJsonArray{QJsonObject{{QStringLiteral("match"), QStringLiteral("DBCC CHECKDB")},
                               {QStringLiteral("disconnect"), true}}};
    QVERIFY(startServer(scenario));

    SqlCommand command;
    command.setConnectionString(connectionString(QStringLiteral("Lager")));
    QVERIFY(!command.isConnected()); // connects only when a statement runs
    command.setCommandText(QStringLiteral("DBCC SHRINKFILE (1)"));
    command.execute();
    command.setCommandText(QStringLiteral("DBCC SHRINKFILE (2)"));
    command.execute();
    QVERIFY(command.isConnected());
    QCOMPARE(loginsIn(m_server.serverLog()), 1);

    // The server drops the connection: that statement fails, the next one connects again.
    command.setCommandText(QStringLiteral("DBCC CHECKDB ([Lager])"));
    QVERIFY(!failureOf([&] { command.execute(); }).isEmpty());
    command.setCommandText(QStringLiteral("DBCC SHRINKFILE (2)"));
    command.execute();
    QCOMPARE(loginsIn(m_server.serverLog()), 2);

    // A new connection string releases the connection, even the same text.
    command.setConnectionString(connectionString(QStringLiteral("Lager")));
    QVERIFY(!command.isConnected());
    command.execute();
    QCOMPARE(loginsIn(m_server.serverLog()), 3);
}

// The server ends while the connection is idle: the next statement fails with a text
// (the process must not die of a write to a closed socket) and leaves the command closed.
void TestSqlServerClient::serverGoneBetweenStatements() {
    QVERIFY(startServer());
    SqlCommand command;
    command.setConnectionString(connectionString(QStringLiteral("Lager")));
    command.setCommandText(QStringLiteral("DBCC SHRINKFILE (1)"));
    command.execute();
    m_server.stop();
    QTest::qWait(100);

    QCOMPARE(failureOf([&] { command.execute(); }),
             QStringLiteral("Die Verbindung zum SQL Server ist abgebrochen."));
    QVERIFY(!command.isConnected());
    // The next statement tries to connect again.
    QVERIFY2(failureOf([&] { command.execute(); }).startsWith(QStringLiteral("Unable to connect")),
             "a statement on a dead connection reported success");
    QVERIFY(!command.isConnected());
}

void TestSqlServerClient::awkwardNamesAndPasswordWorkEndToEnd() {
    const QString name = QStringLiteral("Lag'er]1");
    const QString password = QStringLiteral(" ge;heim'\"x ");
    QJsonObject scenario = TdsTestServer::defaultScenario();
    QJsonObject databases;
    databases[name] = scenario[QStringLiteral("databases")].toObject()[QStringLiteral("Lager")];
    scenario[QStringLiteral("databases")] = databases;
    scenario[QStringLiteral("logins")] = QJsonObject{{QStringLiteral("sa"), password}};
    QVERIFY(startServer(scenario));

    SqlQuery master;
    master.setConnectionString(connectionString(QStringLiteral("master"), password));
    master.setSql(
        QStringLiteral("SELECT Name, recovery_model_desc FROM sys.databases WHERE name=") +
        SqlQuoting::text(name));
    master.open();
    QCOMPARE(master.rows().size(), 1);
    QCOMPARE(master.rows()[0].text(QStringLiteral("Name")), name);

    TempFolder dir;
    const QString folder = dir.path() + QStringLiteral("O'Brien]; Ordner/");
    QVERIFY(QDir().mkpath(folder));
    const QString file = folder + name + QStringLiteral(".BAK");
    SqlCommand command;
    command.setConnectionString(connectionString(name, password));
    command.setCommandText(QStringLiteral("BACKUP DATABASE ") + SqlQuoting::name(name) +
                           QStringLiteral(" TO DISK=") + SqlQuoting::text(file));
    command.execute();
    QVERIFY(QFileInfo(file).size() > 65536);
}

void TestSqlServerClient::namedInstanceIsResolvedThroughTheBrowser_data() {
    QTest::addColumn<QString>("dataSource");
    QTest::newRow("(local)\\inst") << QStringLiteral("(local)\\SQLEXPRESS");
    QTest::newRow(".\\inst") << QStringLiteral(".\\SQLEXPRESS");
    QTest::newRow("host\\inst") << QStringLiteral("127.0.0.1\\SQLEXPRESS");
}

void TestSqlServerClient::namedInstanceIsResolvedThroughTheBrowser() {
    QFETCH(QString, dataSource);
    QVERIFY(startServer());
    BrowserStandIn browser;
    if (!browser.start(m_server.port()))
        QSKIP("UDP port 1434 on 127.0.0.1 is taken");

    SqlQuery query;
    query.setConnectionString(SqlConnectionString::build(
        QStringLiteral("geheim"), QStringLiteral("sa"), QStringLiteral("Lager"), dataSource));
    query.setSql(QStringLiteral("select * from sys.database_files"));
    query.open();
    QCOMPARE(query.rows().size(), 2);
    QVERIFY(!browser.asked().isEmpty());
    QCOMPARE(browser.asked().first(), QStringLiteral("SQLEXPRESS"));
}

QTEST_GUILESS_MAIN(TestSqlServerClient)
#include "tst_sqlserverclient.moc"
