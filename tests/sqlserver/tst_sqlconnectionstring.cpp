#include "sqlserver/SqlConnectionString.h"
#include "sqlserver/SqlQuoting.h"
#include "platform/ProgramError.h"

#include <QtTest>

class TestSqlConnectionString : public QObject {
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
    void rejects_data();
    void rejects();
    void dataSource_data();
    void dataSource();
    void builtStringReadsBack_data();
    void builtStringReadsBack();
    void sqlQuoting_data();
    void sqlQuoting();
};

void TestSqlConnectionString::parse_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("dataSource");
    QTest::addColumn<QString>("userId");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("catalog");

    QTest::newRow("as the program writes it")
        << QStringLiteral("Provider=SQLOLEDB.1;Password=geheim;Persist Security Info=True;User "
                          "ID=sa;Initial Catalog=Lager;Data Source=srv\\SQLEXPRESS")
        << QStringLiteral("srv\\SQLEXPRESS") << QStringLiteral("sa") << QStringLiteral("geheim")
        << QStringLiteral("Lager");
    QTest::newRow("keys in any case, blanks around, empty pairs, other order")
        << QStringLiteral("  data SOURCE = host,1433 ;;PROVIDER=sqloledb; user id=Admin ;PASSWORD= "
                          " p w  ;initial catalog=Db;")
        << QStringLiteral("host,1433") << QStringLiteral("Admin") << QStringLiteral("p w")
        << QStringLiteral("Db");
    QTest::newRow("double quotes keep ';' and blanks, doubled quote is one")
        << QStringLiteral("Provider=SQLOLEDB.1;Password=\" a;b\"\"c \";User ID=sa;Data Source=h")
        << QStringLiteral("h") << QStringLiteral("sa") << QStringLiteral(" a;b\"c ") << QString();
    QTest::newRow("single quotes, doubled single quote, double quote inside")
        << QStringLiteral(
               "Provider=SQLOLEDB.1;Password='it''s \"x\"';User ID='s;a';Data Source='h'")
        << QStringLiteral("h") << QStringLiteral("s;a") << QStringLiteral("it's \"x\"")
        << QString();
    QTest::newRow("'=' inside a value, empty password")
        << QStringLiteral("Provider=SQLOLEDB.1;Password=;User ID=a=b;Data Source=h")
        << QStringLiteral("h") << QStringLiteral("a=b") << QString() << QString();
    QTest::newRow("synonyms, last value wins")
        << QStringLiteral("Provider=SQLOLEDB;Server=alt;UID=u;PWD=p;Database=d;Data Source=neu")
        << QStringLiteral("neu") << QStringLiteral("u") << QStringLiteral("p")
        << QStringLiteral("d");
}

void TestSqlConnectionString::parse() {
    QFETCH(QString, text);
    QFETCH(QString, dataSource);
    QFETCH(QString, userId);
    QFETCH(QString, password);
    QFETCH(QString, catalog);
    const SqlConnectionString cs = SqlConnectionString::parse(text);
    QCOMPARE(cs.dataSource, dataSource);
    QCOMPARE(cs.userId, userId);
    QCOMPARE(cs.password, password);
    QCOMPARE(cs.initialCatalog, catalog);
    QCOMPARE(cs.connectTimeout, 15);
}

void TestSqlConnectionString::rejects_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("message");

    QTest::newRow("other provider")
        << QStringLiteral("Provider=MSOLEDBSQL;Data Source=h")
        << QStringLiteral("Provider \"MSOLEDBSQL\" wird nicht unterstützt");
    QTest::newRow("provider with a later version")
        << QStringLiteral("Provider=SQLOLEDB.2;Data Source=h")
        << QStringLiteral("Provider \"SQLOLEDB.2\"");
    QTest::newRow("no provider") << QStringLiteral("Data Source=h;User ID=sa")
                                 << QStringLiteral("Provider \"\"");
    QTest::newRow("no data source")
        << QStringLiteral("Provider=SQLOLEDB.1;User ID=sa") << QStringLiteral("Data Source");
    QTest::newRow("empty data source")
        << QStringLiteral("Provider=SQLOLEDB.1;Data Source= ") << QStringLiteral("Data Source");
    QTest::newRow("unclosed quote")
        << QStringLiteral("Provider=SQLOLEDB.1;Password=\"abc;Data Source=h")
        << QStringLiteral("nicht geschlossen");
    QTest::newRow("text after closing quote")
        << QStringLiteral("Provider=SQLOLEDB.1;Password=\"a\"b;Data Source=h")
        << QStringLiteral("nach dem Wert");
    QTest::newRow("pair without '=', the text not repeated")
        << QStringLiteral("Provider=SQLOLEDB.1;Data Source=h;Password=geheim;teil2")
        << QStringLiteral("ohne '=' an Stelle 51");
}

void TestSqlConnectionString::rejects() {
    QFETCH(QString, text);
    QFETCH(QString, message);
    try {
        SqlConnectionString::parse(text);
        QFAIL("accepted");
    } catch (const ProgramError& e) {
        QVERIFY2(e.message().contains(message), qPrintable(e.message()));
        QVERIFY2(!e.message().contains(QLatin1String("teil2")), qPrintable(e.message()));
    }
}

void TestSqlConnectionString::dataSource_data() {
    QTest::addColumn<QString>("dataSource");
    QTest::addColumn<QString>("freeTds"); // empty: rejected

    QTest::newRow("host") << QStringLiteral("sqlhost") << QStringLiteral("sqlhost");
    QTest::newRow("host,port") << QStringLiteral("10.0.0.5,1533")
                               << QStringLiteral("10.0.0.5:1533");
    QTest::newRow("blanks around the port")
        << QStringLiteral(" h , 1533 ") << QStringLiteral("h:1533");
    QTest::newRow("host\\instance")
        << QStringLiteral("srv\\SQLEXPRESS") << QStringLiteral("srv\\SQLEXPRESS");
    QTest::newRow("(local)") << QStringLiteral("(local)") << QStringLiteral("127.0.0.1");
    QTest::newRow("(LOCAL)\\inst")
        << QStringLiteral("(LOCAL)\\inst") << QStringLiteral("127.0.0.1\\inst");
    QTest::newRow(".") << QStringLiteral(".") << QStringLiteral("127.0.0.1");
    QTest::newRow(".\\inst") << QStringLiteral(".\\inst") << QStringLiteral("127.0.0.1\\inst");
    QTest::newRow("port wins over instance")
        << QStringLiteral("srv\\inst,1500") << QStringLiteral("srv:1500");
    QTest::newRow("tcp: prefix") << QStringLiteral("tcp:srv,1433") << QStringLiteral("srv:1433");
    QTest::newRow("port not a number") << QStringLiteral("srv,abc") << QString();
    QTest::newRow("port out of range") << QStringLiteral("srv,70000") << QString();
    QTest::newRow("instance without host") << QStringLiteral("\\inst") << QString();
}

void TestSqlConnectionString::dataSource() {
    QFETCH(QString, dataSource);
    QFETCH(QString, freeTds);
    if (freeTds.isEmpty()) {
        QVERIFY_THROWS_EXCEPTION(ProgramError, SqlServerAddress::parse(dataSource));
        return;
    }
    QCOMPARE(SqlServerAddress::parse(dataSource).freeTdsServerName(), freeTds);
}

void TestSqlConnectionString::builtStringReadsBack_data() {
    QTest::addColumn<QString>("value");
    QTest::addColumn<bool>("quoted");

    QTest::newRow("plain") << QStringLiteral("geheim") << false;
    QTest::newRow("blank inside") << QStringLiteral("a b") << false;
    QTest::newRow("semicolon") << QStringLiteral("ge;heim") << true;
    QTest::newRow("double quote") << QStringLiteral("a\"b") << true;
    QTest::newRow("single quote") << QStringLiteral("Lag'er]1") << true;
    QTest::newRow("both quotes and ;") << QStringLiteral("'\";\"'") << true;
    QTest::newRow("blank at the ends") << QStringLiteral(" x ") << true;
    QTest::newRow("empty") << QString() << false;
    QTest::newRow("umlaut and =") << QStringLiteral("Größe=1") << false;
}

// Whatever a user types as password, login, database or server must reach the server as is.
void TestSqlConnectionString::builtStringReadsBack() {
    QFETCH(QString, value);
    QFETCH(bool, quoted);
    QCOMPARE(SqlConnectionString::quoteValue(value) != value, quoted);
    const SqlConnectionString cs = SqlConnectionString::parse(
        SqlConnectionString::build(value, value, value, QStringLiteral("h")));
    QCOMPARE(cs.password, value);
    QCOMPARE(cs.userId, value);
    QCOMPARE(cs.initialCatalog, value);
    QCOMPARE(cs.provider, QStringLiteral("SQLOLEDB.1"));
}

void TestSqlConnectionString::sqlQuoting_data() {
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");

    QTest::newRow("plain") << QStringLiteral("Lager") << QStringLiteral("[Lager]")
                           << QStringLiteral("'Lager'");
    QTest::newRow("] and '") << QStringLiteral("Lag'er]1") << QStringLiteral("[Lag'er]]1]")
                             << QStringLiteral("'Lag''er]1'");
    QTest::newRow("[ stays") << QStringLiteral("[x]") << QStringLiteral("[[x]]]")
                             << QStringLiteral("'[x]'");
    QTest::newRow("beyond ASCII: Unicode literal")
        << QStringLiteral("Łódź'ä") << QStringLiteral("[Łódź'ä]") << QStringLiteral("N'Łódź''ä'");
    QTest::newRow("injection attempt")
        << QStringLiteral("x'; DROP DATABASE y; --") << QStringLiteral("[x'; DROP DATABASE y; --]")
        << QStringLiteral("'x''; DROP DATABASE y; --'");
}

void TestSqlConnectionString::sqlQuoting() {
    QFETCH(QString, value);
    QFETCH(QString, name);
    QFETCH(QString, text);
    QCOMPARE(SqlQuoting::name(value), name);
    QCOMPARE(SqlQuoting::text(value), text);
}

QTEST_GUILESS_MAIN(TestSqlConnectionString)
#include "tst_sqlconnectionstring.moc"
