// The rule of the weekly and monthly archives as a table of nights: what a night stores beside
// its weekday archive and what goes, given the date, the counts and what the destination holds.

#include "transfer/ArchiveRetention.h"

#include <QtTest>

namespace {

QStringList names(const char* text) {
    return QString::fromLatin1(text).split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

// Names the rule must never touch: other files, another job's, near misses of the pattern.
const char* const kForeign = "Lager7.ZIP Lager-W2026-50.ZIP.bak Lager2-W2026-40.ZIP "
                             "Lager-W2026-5.ZIP lager-W2026-41.ZIP Lager-W2026-42.zip "
                             "Lager-X2026-43.ZIP Lager-M2026-13.ZIP Lager-W2026-00.ZIP "
                             "Lager-W26-44.ZIP Lager-M2026-1.ZIP xLager-W2026-45.ZIP";

} // namespace

class TestArchiveRetention : public QObject {
    Q_OBJECT

private slots:
    void nights_data();
    void nights();
};

void TestArchiveRetention::nights_data() {
    QTest::addColumn<QDate>("day");
    QTest::addColumn<int>("keepWeekly");
    QTest::addColumn<int>("keepMonthly");
    QTest::addColumn<QStringList>("present");
    QTest::addColumn<QStringList>("store");
    QTest::addColumn<QStringList>("remove");

    const QDate sunday(2026, 12, 13); // ISO 2026-W50
    QTest::newRow("Sunday, monthly of the month there")
        << sunday << 4 << 3 << names("Lager7.ZIP Lager-M2026-12.ZIP") << names("Lager-W2026-50.ZIP")
        << QStringList();
    QTest::newRow("Sunday, no monthly of the month yet")
        << sunday << 4 << 3 << names("Lager7.ZIP Lager-M2026-11.ZIP")
        << names("Lager-W2026-50.ZIP Lager-M2026-12.ZIP") << QStringList();
    // The ISO year is the calendar year before: week 53 of 2026, in January 2027.
    QTest::newRow("Sunday at the year's end, week 53")
        << QDate(2027, 1, 3) << 2 << 2
        << names("Lager-W2026-51.ZIP Lager-W2026-52.ZIP Lager-M2026-11.ZIP Lager-M2026-12.ZIP")
        << names("Lager-W2026-53.ZIP Lager-M2027-01.ZIP")
        << names("Lager-W2026-51.ZIP Lager-M2026-11.ZIP");
    // Week 01 of 2027 is newer than week 53 of 2026, although its number is smaller.
    QTest::newRow("Sunday of week 01")
        << QDate(2027, 1, 10) << 2 << 0
        << names("Lager-W2026-52.ZIP Lager-W2026-53.ZIP Lager-M2027-01.ZIP")
        << names("Lager-W2027-01.ZIP") << names("Lager-W2026-52.ZIP");
    QTest::newRow("first Sunday of a month, none there")
        << QDate(2026, 11, 1) << 0 << 6 << names("Lager7.ZIP") << names("Lager-M2026-11.ZIP")
        << QStringList();
    QTest::newRow("first Sunday of a month, one there already")
        << QDate(2026, 11, 1) << 0 << 6 << names("Lager-M2026-11.ZIP") << QStringList()
        << QStringList();
    // Tonight's weekly counts among the kept ones; the oldest go first.
    QTest::newRow("fewer kept than there are")
        << sunday << 2 << 1
        << names("Lager-W2026-46.ZIP Lager-W2026-49.ZIP Lager-W2026-47.ZIP Lager-W2026-48.ZIP "
                 "Lager-M2026-10.ZIP Lager-M2026-12.ZIP Lager-M2026-11.ZIP")
        << names("Lager-W2026-50.ZIP")
        << names("Lager-W2026-46.ZIP Lager-W2026-47.ZIP Lager-W2026-48.ZIP "
                 "Lager-M2026-10.ZIP Lager-M2026-11.ZIP");
    // A count lowered takes effect on the next night, whichever day it is.
    QTest::newRow("weekday, count lowered")
        << QDate(2026, 12, 16) << 1 << 0
        << names("Lager-W2026-49.ZIP Lager-W2026-50.ZIP Lager-M2026-11.ZIP Lager3.ZIP")
        << QStringList() << names("Lager-W2026-49.ZIP");
    QTest::newRow("weekday, nothing to do")
        << QDate(2026, 12, 14) << 4 << 3 << names("Lager-W2026-50.ZIP Lager-M2026-12.ZIP")
        << QStringList() << QStringList();
    // 0: only the weekday archives; what an earlier count left stays.
    QTest::newRow("both counts 0")
        << sunday << 0 << 0 << names("Lager-W2026-40.ZIP Lager-W2026-41.ZIP Lager-M2026-01.ZIP")
        << QStringList() << QStringList();
    QTest::newRow("weekly 0 leaves the weeklies alone")
        << sunday << 0 << 1 << names("Lager-W2026-40.ZIP Lager-M2026-11.ZIP")
        << names("Lager-M2026-12.ZIP") << names("Lager-M2026-11.ZIP");
    QTest::newRow("foreign names stay")
        << sunday << 1 << 1 << names(kForeign) << names("Lager-W2026-50.ZIP Lager-M2026-12.ZIP")
        << QStringList();
    QTest::newRow("foreign names stay beside removed ones")
        << sunday << 1 << 1 << names(kForeign) + names("Lager-W2026-49.ZIP Lager-M2026-11.ZIP")
        << names("Lager-W2026-50.ZIP Lager-M2026-12.ZIP")
        << names("Lager-W2026-49.ZIP Lager-M2026-11.ZIP");
}

void TestArchiveRetention::nights() {
    QFETCH(QDate, day);
    QFETCH(int, keepWeekly);
    QFETCH(int, keepMonthly);
    QFETCH(QStringList, present);
    QFETCH(QStringList, store);
    QFETCH(QStringList, remove);
    const ArchiveRetention rule(QStringLiteral("Lager"), keepWeekly, keepMonthly);
    const ArchiveRetention::Plan plan = rule.plan(day, present);
    QCOMPARE(plan.store, store);
    QCOMPARE(plan.remove, remove);
    for (const QString& name : plan.remove)
        QVERIFY(present.contains(name));
}

QTEST_GUILESS_MAIN(TestArchiveRetention)
#include "tst_archiveretention.moc"
