#include "core/WindowSizeRule.h"

#include <QTest>

class TestWindowSizeRule : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void sizes_data() {
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::addColumn<int>("ppi");
        QTest::addColumn<int>("expectedWidth");
        QTest::addColumn<int>("expectedHeight");
        const int dw = -1; // the rule leaves the dimension alone: its design value stays
        const int dh = -1;
        QTest::newRow("1920x1040@96 both capped") << 1920 << 1040 << 96 << 1300 << 750;
        QTest::newRow("1366x728@96") << 1366 << 728 << 96 << 1229 << 655;
        QTest::newRow("1280x680@96 height kept") << 1280 << 680 << 96 << 1152 << dh;
        QTest::newRow("1024x768@96 width kept") << 1024 << 768 << 96 << dw << 691;
        QTest::newRow("1025x701@96 just over") << 1025 << 701 << 96 << 922 << 630;
        QTest::newRow("1024x768@120 one lower") << 1024 << 768 << 120 << dw << 863;
        QTest::newRow("1366x728@120") << 1366 << 728 << 120 << 1536 << 819;
        QTest::newRow("1920x1050@120 caps") << 1920 << 1050 << 120 << 1625 << 937;
        QTest::newRow("2560x1400@144 caps") << 2560 << 1400 << 144 << 1950 << 1125;
        QTest::newRow("1024x700@96 both at threshold") << 1024 << 700 << 96 << dw << dh;
        // Results equal to the design size are still the rule's: the outer size, frame included.
        QTest::newRow("1120x735@96 exactly the design size") << 1120 << 735 << 96 << 1008 << 661;
    }
    void sizes() {
        QFETCH(int, width);
        QFETCH(int, height);
        QFETCH(int, ppi);
        QFETCH(int, expectedWidth);
        QFETCH(int, expectedHeight);
        const WindowSize size = windowSizeRule(width, height, ppi);
        QCOMPARE(size.outerWidth.value_or(-1), expectedWidth);
        QCOMPARE(size.outerHeight.value_or(-1), expectedHeight);
    }
};

QTEST_APPLESS_MAIN(TestWindowSizeRule)
#include "tst_windowsizerule.moc"
