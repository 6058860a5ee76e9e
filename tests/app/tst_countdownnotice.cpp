#include "app/CountdownNotice.h"

#include <QApplication>
#include <QCursor>
#include <QElapsedTimer>
#include <QImage>
#include <QLabel>
#include <QMouseEvent>
#include <QSignalSpy>
#include <QTest>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QWidget>

#include <functional>
#include <memory>

namespace {

const QString noticeHtml = QStringLiteral(
    "<FONT size=\"16\">Der automatische Verarbeitungsprozess startet nach 10 Sekunden.<BR><BR>"
    "<U>Klicken Sie bitte HIER</U>, um den Start zu verhindern. <BR><BR>Dann können "
    "Einstellungen im Programm vornehmen.</FONT>");

// Short display times so no test waits long; the gap between them tells early from late.
constexpr int minMs = 200;
constexpr int maxMs = 1200;
constexpr int fadeMs = 40;

enum class Activity { KeyPress, ButtonPress, ButtonRelease, Move };

void sendMouse(QWidget* target, QEvent::Type type, QPoint local, Qt::MouseButton button) {
    const Qt::MouseButtons held =
        type == QEvent::MouseButtonPress ? Qt::MouseButtons(button) : Qt::NoButton;
    QMouseEvent event(type, QPointF(local), QPointF(target->mapToGlobal(local)), button, held,
                      Qt::NoModifier);
    QApplication::sendEvent(target, &event);
}

} // namespace

Q_DECLARE_METATYPE(Activity)

class tst_CountdownNotice : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void appearsCentredOverMainWindow_data();
    void appearsCentredOverMainWindow();
    void paintsBurlywoodBoxWithBorderAndShadow();
    void textKeepsSizeLineBreaksAndUnderline();
    void fontSizeAttribute_data();
    void fontSizeAttribute();

    void displayTimeFollowsUserActivity_data();
    void displayTimeFollowsUserActivity();
    void fadesInAndOut();
    void goneByItsMaximumTime();

    void clickAnywhereOnNoticeEmitsClicked_data();
    void clickAnywhereOnNoticeEmitsClicked();
    void queuedMessagesShowInTurnWithTheirIndex();
    void clearHidesAtOnce_data();
    void clearHidesAtOnce();

private:
    // Where the pointer rests when the notice appears: in the main window's corner, away
    // from the notice in its middle.
    QPoint restingPointer() const { return m_main->mapToGlobal(QPoint(40, 40)); }
    // Shows the notice, acts at the given time and sets when its message closed, counted from
    // the call.
    void showAndTimeClose(int activityAtMs, const std::function<void()>& act, qint64& closedAt);

    std::unique_ptr<QWidget> m_main;
    CountdownNotice* m_notice = nullptr;
};

QtMessageHandler previousHandler = nullptr;

// The offscreen platform warns on every opacity step of a fade; those lines would bury the
// test output. Everything else goes through.
void dropPlatformLimitNotes(QtMsgType type, const QMessageLogContext& context,
                            const QString& text) {
    if (type == QtWarningMsg && text.startsWith(QStringLiteral("This plugin does not support")))
        return;
    previousHandler(type, context, text);
}

void tst_CountdownNotice::initTestCase() {
    previousHandler = qInstallMessageHandler(dropPlatformLimitNotes);
}

void tst_CountdownNotice::init() {
    m_main = std::make_unique<QWidget>();
    m_main->setWindowTitle(QStringLiteral("main"));
    m_main->setGeometry(100, 80, 1000, 660);
    m_main->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_main.get()));
    m_notice = new CountdownNotice(m_main.get());
    m_notice->setFadeDuration(fadeMs);
}

void tst_CountdownNotice::cleanup() {
    m_main.reset(); // takes the notice and its box with it
    m_notice = nullptr;
}

void tst_CountdownNotice::appearsCentredOverMainWindow_data() {
    QTest::addColumn<QRect>("mainGeometry");
    QTest::newRow("near the origin") << QRect(0, 0, 1008, 661);
    QTest::newRow("moved away") << QRect(300, 200, 700, 500);
}

void tst_CountdownNotice::appearsCentredOverMainWindow() {
    QFETCH(QRect, mainGeometry);
    m_main->setGeometry(mainGeometry);
    QCoreApplication::processEvents();

    m_notice->addMessage(noticeHtml, 14000, 12000);
    QVERIFY(!m_notice->isShowing());
    m_notice->showMessages();
    QVERIFY(m_notice->isShowing());

    QWidget* box = m_notice->popup();
    QVERIFY(box->isVisible());
    QVERIFY(box->isWindow());
    QVERIFY(box->windowFlags().testFlag(Qt::FramelessWindowHint));
    const QPoint offset = box->frameGeometry().center() - m_main->frameGeometry().center();
    QVERIFY2(offset.manhattanLength() <= 2,
             qPrintable(QStringLiteral("off centre by %1,%2").arg(offset.x()).arg(offset.y())));
    // Sized to its text, not stretched over the window.
    QVERIFY(box->width() < m_main->width());
}

void tst_CountdownNotice::paintsBurlywoodBoxWithBorderAndShadow() {
    m_notice->addMessage(QStringLiteral("x"), 14000, 12000);
    m_notice->showMessages();
    const QImage image = m_notice->popup()->grab().toImage();
    QVERIFY(!image.isNull());

    // Walk in from the left along the middle row and down the middle column: the first opaque
    // pixel is the border, the next ones are the fill.
    const int midY = image.height() / 2;
    int left = 0;
    while (left < image.width() && qAlpha(image.pixel(left, midY)) != 255)
        ++left;
    QVERIFY(left < image.width() / 4);
    QCOMPARE(image.pixelColor(left, midY), QColor(0xC8, 0xC6, 0xC4));
    QCOMPARE(image.pixelColor(left + 3, midY), QColor(0xDE, 0xB8, 0x87));

    const int midX = image.width() / 2;
    int bottom = image.height() - 1;
    while (bottom > 0 && qAlpha(image.pixel(midX, bottom)) != 255)
        --bottom;
    QVERIFY(bottom > image.height() * 3 / 4);
    QCOMPARE(image.pixelColor(midX, bottom), QColor(0xC8, 0xC6, 0xC4));
    QCOMPARE(image.pixelColor(midX, bottom - 3), QColor(0xDE, 0xB8, 0x87));

    // Below the box lies a dark, partly transparent shadow; the far corner stays clear.
    const QColor shadow = image.pixelColor(midX, bottom + 2);
    QVERIFY2(shadow.alpha() > 0 && shadow.alpha() < 255, qPrintable(shadow.name(QColor::HexArgb)));
    QVERIFY(shadow.lightness() < 60);
    QCOMPARE(qAlpha(image.pixel(0, 0)), 0);
}

void tst_CountdownNotice::textKeepsSizeLineBreaksAndUnderline() {
    m_notice->addMessage(noticeHtml, 14000, 12000);
    m_notice->showMessages();
    auto* label = m_notice->popup()->findChild<QLabel*>();
    QVERIFY(label);
    QVERIFY(label->isVisible());

    QTextDocument doc;
    doc.setHtml(label->text());
    QString underlined;
    int fragments = 0;
    for (QTextBlock block = doc.begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            ++fragments;
            QCOMPARE(fragment.charFormat().font().pixelSize(), 16);
            if (fragment.charFormat().fontUnderline())
                underlined += fragment.text();
        }
    }
    QVERIFY(fragments > 0);
    QCOMPARE(underlined, QStringLiteral("Klicken Sie bitte HIER"));

    QStringList lines = doc.toPlainText().split(u'\n');
    for (QString& line : lines)
        line = line.trimmed();
    QCOMPARE(lines, QStringList({QStringLiteral("Der automatische Verarbeitungsprozess startet "
                                                "nach 10 Sekunden."),
                                 QString(),
                                 QStringLiteral("Klicken Sie bitte HIER, um den Start zu "
                                                "verhindern."),
                                 QString(),
                                 QStringLiteral("Dann können Einstellungen im Programm "
                                                "vornehmen.")}));

    // Rendered, the five lines at 16 px need at least that much height and the longest line
    // is wider than any 11-px rendering of it would be.
    QVERIFY2(label->height() >= 5 * 16, qPrintable(QString::number(label->height())));
    QVERIFY2(label->width() > 400, qPrintable(QString::number(label->width())));
}

void tst_CountdownNotice::fontSizeAttribute_data() {
    QTest::addColumn<QString>("html");
    QTest::addColumn<int>("pixelSize"); // of the letter "x"; 0: left to the HTML 1..7 scale
    QTest::addColumn<QColor>("colour");

    QTest::newRow("plain text keeps the notice font") << QStringLiteral("x") << 11 << QColor();
    QTest::newRow("single quotes, other attributes kept")
        << QStringLiteral("<font color='#0000ff' SIZE='20'>x</font>") << 20 << QColor(0, 0, 255);
    QTest::newRow("unquoted, existing style merged")
        << QStringLiteral("<font size=18 style=\"color:#ff0000\">x</font>") << 18
        << QColor(255, 0, 0);
    QTest::newRow("old scale left alone")
        << QStringLiteral("<font size=\"5\">x</font>") << 0 << QColor();
    QTest::newRow("text outside the tag untouched")
        << QStringLiteral("a size=\"30\" <b>b</b> <font size=\"12\">x</font>") << 12 << QColor();
}

void tst_CountdownNotice::fontSizeAttribute() {
    QFETCH(QString, html);
    QFETCH(int, pixelSize);
    QFETCH(QColor, colour);

    m_notice->addMessage(html, 14000, 12000);
    m_notice->showMessages();
    auto* label = m_notice->popup()->findChild<QLabel*>();
    QVERIFY(label);
    QCOMPARE(label->font().family(), QStringLiteral("Tahoma")); // asked for; may fall back
    QCOMPARE(label->font().pixelSize(), 11);

    QTextDocument doc;
    doc.setDefaultFont(label->font());
    doc.setHtml(label->text());
    const int at = doc.toPlainText().lastIndexOf(u'x');
    QVERIFY(at >= 0);
    QTextCursor cursor(&doc);
    cursor.setPosition(at + 1);
    const QTextCharFormat format = cursor.charFormat();
    if (pixelSize > 11)
        QCOMPARE(format.font().pixelSize(), pixelSize);
    else if (pixelSize == 0)
        QVERIFY(format.hasProperty(QTextFormat::FontSizeAdjustment));
    else
        QVERIFY(!format.hasProperty(QTextFormat::FontPixelSize));
    if (colour.isValid())
        QCOMPARE(format.foreground().color(), colour);
    if (html.startsWith(u'a'))
        QVERIFY(doc.toPlainText().startsWith(QStringLiteral("a size=\"30\" b")));
}

void tst_CountdownNotice::showAndTimeClose(int activityAtMs, const std::function<void()>& act,
                                           qint64& closedAt) {
    closedAt = -1;
    QElapsedTimer clock;
    connect(m_notice, &CountdownNotice::messageClosed, this,
            [&closedAt, &clock] { closedAt = clock.elapsed(); });

    QCursor::setPos(restingPointer());
    QCoreApplication::processEvents();
    if (activityAtMs < 0)
        act(); // before the notice appeared
    m_notice->addMessage(noticeHtml, maxMs, minMs);
    clock.start();
    m_notice->showMessages();
    if (activityAtMs >= 0) {
        QTest::qWait(qMax<qint64>(0, activityAtMs - clock.elapsed()));
        act();
    }
    QTRY_VERIFY_WITH_TIMEOUT(closedAt >= 0, maxMs + 5000);
    disconnect(m_notice, &CountdownNotice::messageClosed, this, nullptr);
}

void tst_CountdownNotice::displayTimeFollowsUserActivity_data() {
    QTest::addColumn<Activity>("activity");
    QTest::addColumn<QPoint>("travel");    // for Move: pointer travel from its resting place
    QTest::addColumn<int>("activityAtMs"); // after appearing; -1: just before it appeared
    QTest::addColumn<bool>("leavesEarly");

    const QPoint none;
    QTest::newRow("key press before min") << Activity::KeyPress << none << 30 << true;
    QTest::newRow("key press between min and max") << Activity::KeyPress << none << 500 << true;
    QTest::newRow("key press before it appeared") << Activity::KeyPress << none << -1 << false;
    QTest::newRow("button press") << Activity::ButtonPress << none << 30 << true;
    QTest::newRow("button release") << Activity::ButtonRelease << none << 30 << true;
    QTest::newRow("move 20 right") << Activity::Move << QPoint(20, 0) << 30 << true;
    QTest::newRow("move 20 up") << Activity::Move << QPoint(0, -20) << 30 << true;
    QTest::newRow("move 25 left between min and max")
        << Activity::Move << QPoint(-25, 5) << 500 << true;
    QTest::newRow("move 19 diagonally stays") << Activity::Move << QPoint(19, 19) << 30 << false;
    QTest::newRow("move 19 left stays") << Activity::Move << QPoint(-19, 0) << 30 << false;
}

void tst_CountdownNotice::displayTimeFollowsUserActivity() {
    QFETCH(Activity, activity);
    QFETCH(QPoint, travel);
    QFETCH(int, activityAtMs);
    QFETCH(bool, leavesEarly);

    QWidget* main = m_main.get();
    const QPoint local = main->mapFromGlobal(restingPointer());
    const auto act = [&] {
        switch (activity) {
        case Activity::KeyPress:
            QTest::keyClick(main, Qt::Key_A);
            break;
        case Activity::ButtonPress:
            sendMouse(main, QEvent::MouseButtonPress, local, Qt::LeftButton);
            break;
        case Activity::ButtonRelease:
            sendMouse(main, QEvent::MouseButtonRelease, local, Qt::LeftButton);
            break;
        case Activity::Move:
            sendMouse(main, QEvent::MouseMove, local + travel, Qt::NoButton);
            break;
        }
    };

    qint64 closedAt = -1;
    showAndTimeClose(activityAtMs, act, closedAt);
    if (QTest::currentTestFailed())
        return;
    const QString when = QStringLiteral("closed after %1 ms").arg(closedAt);
    if (leavesEarly) {
        QVERIFY2(closedAt >= qMax(minMs, activityAtMs), qPrintable(when));
        QVERIFY2(closedAt < maxMs, qPrintable(when));
    } else {
        QVERIFY2(closedAt >= maxMs, qPrintable(when));
    }
    QVERIFY(!m_notice->popup()->isVisible());
    QVERIFY(!m_notice->isShowing());
}

// The fade-out ends by the maximum display time: the countdown notice must be gone before the
// automatic run begins, not a fade's length after its maximum.
void tst_CountdownNotice::goneByItsMaximumTime() {
    m_notice->setFadeDuration(400);
    QCursor::setPos(restingPointer());
    m_notice->addMessage(noticeHtml, 800, 200);
    QElapsedTimer clock;
    qint64 closedAt = -1;
    connect(m_notice, &CountdownNotice::messageClosed, this, [&] { closedAt = clock.elapsed(); });
    clock.start();
    m_notice->showMessages();
    QTRY_VERIFY_WITH_TIMEOUT(closedAt >= 0, 5000);
    const QString when = QStringLiteral("gone after %1 ms").arg(closedAt);
    QVERIFY2(closedAt >= 200, qPrintable(when));
    QVERIFY2(closedAt < 800 + 200, qPrintable(when)); // a whole fade late would be 1200
}

void tst_CountdownNotice::fadesInAndOut() {
    m_notice->setFadeDuration(200);
    m_notice->addMessage(noticeHtml, 400, 400);
    QSignalSpy closed(m_notice, &CountdownNotice::messageClosed);
    m_notice->showMessages();
    QWidget* box = m_notice->popup();
    QVERIFY(box->windowOpacity() < 0.5);
    QTRY_COMPARE(box->windowOpacity(), 1.0);

    // On its way out it is still there, but fading.
    QTRY_VERIFY(box->windowOpacity() < 0.9);
    QVERIFY(box->isVisible());
    QVERIFY(m_notice->isShowing());
    QCOMPARE(closed.count(), 0);
    QTRY_VERIFY(!box->isVisible());
    QCOMPARE(closed.count(), 1);
    QCOMPARE(closed.at(0).at(0).toInt(), 0);
}

void tst_CountdownNotice::clickAnywhereOnNoticeEmitsClicked_data() {
    QTest::addColumn<Qt::MouseButton>("button");
    QTest::addColumn<QPointF>("where"); // fraction of the box size
    QTest::newRow("left on the underlined words") << Qt::LeftButton << QPointF(0.3, 0.5);
    QTest::newRow("right near a corner") << Qt::RightButton << QPointF(0.05, 0.1);
    QTest::newRow("middle at the far end") << Qt::MiddleButton << QPointF(0.95, 0.9);
}

void tst_CountdownNotice::clickAnywhereOnNoticeEmitsClicked() {
    QFETCH(Qt::MouseButton, button);
    QFETCH(QPointF, where);

    m_notice->addMessage(noticeHtml, 14000, 12000);
    m_notice->showMessages();
    QSignalSpy clicked(m_notice, &CountdownNotice::clicked);
    QWidget* box = m_notice->popup();
    const QPoint at(qRound(box->width() * where.x()), qRound(box->height() * where.y()));
    QTest::mouseClick(box, button, Qt::NoModifier, at);

    QCOMPARE(clicked.count(), 1);
    QCOMPARE(clicked.at(0).at(0).toInt(), 0);
    // Whoever handles the click decides whether the notice goes.
    QVERIFY(box->isVisible());
    QVERIFY(m_notice->isShowing());
}

void tst_CountdownNotice::queuedMessagesShowInTurnWithTheirIndex() {
    m_notice->addMessage(QStringLiteral("first"), 100, 100);
    m_notice->addMessage(QStringLiteral("second"), 14000, 12000);
    QSignalSpy closed(m_notice, &CountdownNotice::messageClosed);
    QSignalSpy clicked(m_notice, &CountdownNotice::clicked);
    m_notice->showMessages();
    auto* label = m_notice->popup()->findChild<QLabel*>();
    QVERIFY(label->text().contains(QStringLiteral("first")));

    QTRY_COMPARE(closed.count(), 1);
    QCOMPARE(closed.at(0).at(0).toInt(), 0);
    QVERIFY(m_notice->popup()->isVisible());
    QVERIFY(label->text().contains(QStringLiteral("second")));
    QTest::mouseClick(m_notice->popup(), Qt::LeftButton);
    QCOMPARE(clicked.count(), 1);
    QCOMPARE(clicked.at(0).at(0).toInt(), 1);
}

void tst_CountdownNotice::clearHidesAtOnce_data() {
    QTest::addColumn<int>("phase"); // 0: fading in, 1: fully shown, 2: fading out
    QTest::newRow("while fading in") << 0;
    QTest::newRow("while shown") << 1;
    QTest::newRow("while fading out") << 2;
}

void tst_CountdownNotice::clearHidesAtOnce() {
    QFETCH(int, phase);
    m_notice->setFadeDuration(300);
    m_notice->addMessage(noticeHtml, 500, 500);
    m_notice->addMessage(QStringLiteral("next"), 500, 500);
    QSignalSpy closed(m_notice, &CountdownNotice::messageClosed);
    QSignalSpy clicked(m_notice, &CountdownNotice::clicked);
    m_notice->showMessages();
    QWidget* box = m_notice->popup();
    if (phase == 0)
        QVERIFY(box->windowOpacity() < 1.0);
    if (phase >= 1)
        QTRY_COMPARE(box->windowOpacity(), 1.0);
    if (phase >= 2)
        QTRY_VERIFY(box->windowOpacity() < 1.0);
    QVERIFY(box->isVisible());
    QVERIFY(!box->findChild<QLabel*>()->text().contains(QStringLiteral("next")));

    m_notice->clear();
    QVERIFY(!m_notice->popup()->isVisible());
    QVERIFY(!m_notice->isShowing());

    // Nothing comes back: neither the cleared message nor the one queued behind it.
    QTest::qWait(900);
    QVERIFY(!m_notice->popup()->isVisible());
    QCOMPARE(closed.count(), 0);

    // The box is ready for a new message at full strength.
    m_notice->setFadeDuration(0);
    m_notice->addMessage(QStringLiteral("again"), 14000, 12000);
    m_notice->showMessages();
    QVERIFY(m_notice->popup()->isVisible());
    QCOMPARE(m_notice->popup()->windowOpacity(), 1.0);
    QVERIFY(m_notice->popup()->findChild<QLabel*>()->text().contains(QStringLiteral("again")));
    QTest::mouseClick(m_notice->popup(), Qt::LeftButton);
    QCOMPARE(clicked.count(), 1);
    QCOMPARE(clicked.at(0).at(0).toInt(), 0);
}

QTEST_MAIN(tst_CountdownNotice)
#include "tst_countdownnotice.moc"
