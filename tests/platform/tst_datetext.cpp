#include "platform/DateText.h"
#include "platform/Encoding.h"

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
        QTest::newRow("german") << "de_DE" << t << "09.12.2026 02:11:29" << "09.12.2026 02:11:29";
        QTest::newRow("german midnight")
            << "de_DE" << midnight << "09.12.2026 00:00:00" << "09.12.2026";
        QTest::newRow("german a millisecond past midnight")
            << "de_DE" << justAfter << "09.12.2026 00:00:00" << "09.12.2026 00:00:00";
        // Other regions keep the points on screen; the file takes their separators and time format.
        QTest::newRow("us") << "en_US" << t << "09.12.2026 02:11:29" << "09/12/2026 2:11:29 AM";
        QTest::newRow("dutch") << "nl_NL" << t << "09.12.2026 02:11:29" << "09-12-2026 02:11:29";
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

    void windows1252_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("umlauts") << QStringLiteral("Prüfe ÄÖÜß") << QByteArray("Pr\xFC" "fe \xC4\xD6\xDC\xDF");
        QTest::newRow("euro and dash") << QStringLiteral("€ – „x“") << QByteArray("\x80 \x96 \x84x\x93");
        QTest::newRow("no equivalent") << QStringLiteral("漢字 ok 😀") << QByteArray("?? ok ?");
        QTest::newRow("empty") << QString() << QByteArray();
    }
    void windows1252() {
        QFETCH(QString, text);
        QFETCH(QByteArray, bytes);
        QCOMPARE(Encoding::toWindows1252(text), bytes);
    }
};

QTEST_APPLESS_MAIN(TestDateText)
#include "tst_datetext.moc"
