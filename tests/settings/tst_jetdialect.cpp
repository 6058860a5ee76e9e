#include "settings/JetDialect.h"

#include <QtTest>

class TestJetDialect : public QObject {
    Q_OBJECT

private slots:
    void fromSqlServer_data();
    void fromSqlServer();
    void toSqlite_data();
    void toSqlite();
};

void TestJetDialect::fromSqlServer_data() {
    QTest::addColumn<QString>("statement");
    QTest::addColumn<QString>("expected");

    QTest::newRow("schema, NTEXT and GETDATE")
        << "CREATE TABLE dbo.x (a NTEXT, b DATETIME DEFAULT GETDATE())"
        << "CREATE TABLE x (a MEMO, b DATETIME DEFAULT DATE())";
    QTest::newRow("lower-case getdate stays") << "CREATE TABLE x (b DATETIME DEFAULT getdate())"
                                              << "CREATE TABLE x (b DATETIME DEFAULT getdate())";
    QTest::newRow("lower-case ntext and identity stay")
        << "CREATE TABLE x (a ntext, i integer identity(1,1))"
        << "CREATE TABLE x (a ntext, i integer identity(1,1))";
    QTest::newRow("a name containing NTEXT") << "ALTER TABLE x ADD CONTEXT nvarchar(50)"
                                             << "ALTER TABLE x ADD COMEMO nvarchar(50)";
    QTest::newRow("identity key")
        << "CREATE TABLE dbo.benutzerdaten (ID INTEGER IDENTITY(1,1) PRIMARY KEY)"
        << "CREATE TABLE benutzerdaten (ID COUNTER PRIMARY KEY)";
    QTest::newRow("quoted text is not spared") << "UPDATE x SET a='dbo.NTEXT GETDATE()'"
                                               << "UPDATE x SET a='MEMO DATE()'";
    QTest::newRow("dbo. inside a name") << "SELECT * FROM mydbo.t"
                                        << "SELECT * FROM myt";
    // "dbo." goes first, so what it joins is replaced by the later steps.
    QTest::newRow("replacements in order")
        << "CREATE TABLE t (i INTEGER IDENTITY(dbo.1,1), d GETDATE(dbo.))"
        << "CREATE TABLE t (i COUNTER, d DATE())";
    QTest::newRow("spaced GETDATE stays") << "SELECT GETDATE ()"
                                          << "SELECT GETDATE ()";
    QTest::newRow("upgrade statement unchanged")
        << "ALTER TABLE sqldatenbanken ADD FTP_SSL INTEGER"
        << "ALTER TABLE sqldatenbanken ADD FTP_SSL INTEGER";
}

void TestJetDialect::fromSqlServer() {
    QFETCH(QString, statement);
    QFETCH(QString, expected);
    QCOMPARE(JetDialect::fromSqlServer(statement), expected);
}

void TestJetDialect::toSqlite_data() {
    QTest::addColumn<QString>("jet");
    QTest::addColumn<QString>("expected");

    QTest::newRow("counter key")
        << "CREATE TABLE benutzerdaten (ID COUNTER PRIMARY KEY)"
        << "CREATE TABLE benutzerdaten (ID INTEGER PRIMARY KEY AUTOINCREMENT)";
    QTest::newRow("counter without key, with seed")
        << "CREATE TABLE t (ID counter(1,1), a TEXT(50))"
        << "CREATE TABLE t (ID INTEGER PRIMARY KEY AUTOINCREMENT, a TEXT(50) COLLATE NOCASE)";
    QTest::newRow("memo") << "CREATE TABLE x (a MEMO, c COMEMO)"
                          << "CREATE TABLE x (a TEXT COLLATE NOCASE, c COMEMO)";
    QTest::newRow("date default")
        << "CREATE TABLE x (b DATETIME DEFAULT DATE())"
        << "CREATE TABLE x (b DATETIME DEFAULT (date('now','localtime')||' 00:00:00'))";
    QTest::newRow("now") << "UPDATE x SET b=Now()"
                         << "UPDATE x SET b=(datetime('now','localtime'))";
    QTest::newRow("getdate is not date") << "SELECT getdate()"
                                         << "SELECT getdate()";
    QTest::newRow("quoted text and names stay")
        << "UPDATE [MEMO] SET a='COUNTER MEMO DATE()', \"Date()\"=1"
        << "UPDATE [MEMO] SET a='COUNTER MEMO DATE()', \"Date()\"=1";
    QTest::newRow("doubled quote inside text") << "UPDATE x SET a='it''s MEMO', b=MEMO"
                                               << "UPDATE x SET a='it''s MEMO', b=TEXT";
    // Text columns compare without regard to case, as Jet's do.
    QTest::newRow("added text column")
        << "ALTER TABLE sqldatenbanken ADD FTP_Pfad nvarchar(150)"
        << "ALTER TABLE sqldatenbanken ADD FTP_Pfad nvarchar(150) COLLATE NOCASE";
    QTest::newRow("text key column")
        << "CREATE TABLE s (DBName nvarchar(50) NOT NULL PRIMARY KEY, TEXT varchar(5), n INTEGER)"
        << "CREATE TABLE s (DBName nvarchar(50) COLLATE NOCASE NOT NULL PRIMARY KEY, TEXT "
           "varchar(5) COLLATE NOCASE, n INTEGER)";
    QTest::newRow("text type outside a definition") << "UPDATE x SET a=CAST(b AS nvarchar(5))"
                                                    << "UPDATE x SET a=CAST(b AS nvarchar(5))";
    QTest::newRow("other statements unchanged")
        << "UPDATE sqldatenbanken SET FTP_SSL=0 WHERE FTP_SSL IS NULL"
        << "UPDATE sqldatenbanken SET FTP_SSL=0 WHERE FTP_SSL IS NULL";
}

void TestJetDialect::toSqlite() {
    QFETCH(QString, jet);
    QFETCH(QString, expected);
    QCOMPARE(JetDialect::toSqlite(jet), expected);
}

QTEST_GUILESS_MAIN(TestJetDialect)
#include "tst_jetdialect.moc"
