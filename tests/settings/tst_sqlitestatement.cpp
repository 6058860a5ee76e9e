#include "platform/ProgramError.h"
#include "settings/SqliteStatement.h"

#include <sqlcipher/sqlite3.h>

#include <QElapsedTimer>
#include <QtTest>

// A statement on a database in memory: what it refuses before and while running, with which
// result code, and how a time limit ends it.
class TestSqliteStatement : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void runOrRefuse_data();
    void runOrRefuse();
    void timeLimitEndsOnlyItsOwnStatement();

private:
    int rowsInT() {
        SqliteStatement count(m_db, QStringLiteral("SELECT count(*) FROM t"));
        count.step();
        return int(count.integer(0));
    }

    sqlite3* m_db = nullptr;
};

void TestSqliteStatement::init() {
    QCOMPARE(sqlite3_open(":memory:", &m_db), SQLITE_OK);
    sqlite3_extended_result_codes(m_db, 1);
    QCOMPARE(sqlite3_exec(m_db, "CREATE TABLE t (a INTEGER NOT NULL)", nullptr, nullptr, nullptr),
             SQLITE_OK);
}

void TestSqliteStatement::cleanup() {
    sqlite3_close(m_db);
    m_db = nullptr;
}

void TestSqliteStatement::runOrRefuse_data() {
    QTest::addColumn<QString>("sql");
    QTest::addColumn<QString>("error"); // part of the message; empty: the statement runs
    QTest::addColumn<int>("resultCode");
    QTest::addColumn<int>("rows"); // in t afterwards

    QTest::newRow("one statement, blanks after ;") << "INSERT INTO t VALUES (1);  \n"
                                                   << "" << SQLITE_OK << 1;
    QTest::newRow("not SQL") << "das ist kein Befehl"
                             << "syntax error" << SQLITE_ERROR << 0;
    QTest::newRow("empty") << ""
                           << "leer" << SQLITE_ERROR << 0;
    QTest::newRow("comment only") << "-- nichts"
                                  << "leer" << SQLITE_ERROR << 0;
    // Refused whole: the first statement must not have run either.
    QTest::newRow("two statements") << "INSERT INTO t VALUES (1); INSERT INTO t VALUES (2)"
                                    << "mehr als einen Befehl" << SQLITE_ERROR << 0;
    QTest::newRow("refused while running")
        << "INSERT INTO t VALUES (NULL)"
        << "NOT NULL constraint failed" << SQLITE_CONSTRAINT << 0;
}

void TestSqliteStatement::runOrRefuse() {
    QFETCH(QString, sql);
    QFETCH(QString, error);
    QFETCH(int, resultCode);
    QFETCH(int, rows);

    SqliteStatement statement(m_db);
    QString message;
    try {
        statement.prepare(sql, SqliteStatement::Text::OneStatement);
        statement.run();
    } catch (const ProgramError& e) {
        message = e.message();
    }
    QVERIFY2(error.isEmpty() ? message.isEmpty() : message.contains(error), qPrintable(message));
    QCOMPARE(statement.resultCode(), resultCode);
    QCOMPARE(rowsInT(), rows);
}

void TestSqliteStatement::timeLimitEndsOnlyItsOwnStatement() {
    const QString countTo = QStringLiteral("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + "
                                           "1 FROM n WHERE i < %1) SELECT count(*) FROM n");
    SqliteStatement slow(m_db, countTo.arg(2000000000));
    slow.limitTime(1);
    QElapsedTimer clock;
    clock.start();
    QString message;
    try {
        slow.run();
    } catch (const ProgramError& e) {
        message = e.message();
    }
    QVERIFY2(message.startsWith(QStringLiteral("Zeitüberschreitung")), qPrintable(message));
    QCOMPARE(slow.resultCode(), SQLITE_INTERRUPT);
    QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));

    // The connection is shared: the expired limit must not end a statement that has none.
    SqliteStatement other(m_db, countTo.arg(200000));
    QVERIFY(other.step());
    QCOMPARE(other.integer(0), 200000);
}

QTEST_GUILESS_MAIN(TestSqliteStatement)
#include "tst_sqlitestatement.moc"
