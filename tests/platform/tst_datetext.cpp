#include "platform/DateText.h"

#include <QTest>

class TestDateText : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void stamps_data() {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QDateTime>("time");
        QTest::addColumn<QString>("screen");
        QTest::addColumn<QString>("file");
        const QDateTime t(QDate(2026, 12, 9), QTime(2, 11, 29));
        const QDateTime midnight(QDate(2026, 12, 9), QTime(0, 0));
        const QDateTime justAfter(QDate(2026, 12, 9), QTime(0, 0, 0, 1));
        QTest::newRow("german") << "de_DE" << t << "09.12.2026 02:11:29"
                                << "09.12.2026 02:11:29";
        QTest::newRow("german midnight") << "de_DE" << midnight << "09.12.2026 00:00:00"
                                         << "09.12.2026";
        QTest::newRow("german a millisecond past midnight")
            << "de_DE" << justAfter << "09.12.2026 00:00:00"
            << "09.12.2026 00:00:00";
        // Other regions keep the points on screen; the file takes their separators and time format.
        QTest::newRow("us") << "en_US" << t << "09.12.2026 02:11:29"
                            << "09/12/2026 2:11:29 AM";
        QTest::newRow("dutch") << "nl_NL" << t << "09.12.2026 02:11:29"
                               << "09-12-2026 02:11:29";
    }
    void stamps() {
        QFETCH(QString, locale);
        QFETCH(QDateTime, time);
        QFETCH(QString, screen);
        QFETCH(QString, file);
        const QLocale l(locale);
        QCOMPARE(DateText::screenStamp(time, l), screen);
        QCOMPARE(DateText::shortDateTime(time, l).replace(QChar(0x202F), QLatin1Char(' ')), file);
    }
};

QTEST_APPLESS_MAIN(TestDateText)
#include "tst_datetext.moc"
