// The window as a user sees it: the screen log, the countdown notice and its click, the close,
// the Enter key and the top bar. The policy behind it is the program core's (tests/core).
#include "FakeTimers.h"
#include "OfflineWindow.h"
#include "TempFolder.h"
#include "app/CountdownNotice.h"
#include "app/ScreenLog.h"
#include "app/TOrvelSQLBackupMain.h"
#include "platform/ProgramError.h"

#include <QApplication>
#include <QFile>
#include <QLayout>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

namespace {
// A window in its own program folder with the online functions off; its timers fire on request.
struct Fixture {
    TempFolder folder;
    FakeTimers timers;
    std::unique_ptr<TOrvelSQLBackupMain> w;

    explicit Fixture(QStringList args = {}) {
        TOrvelSQLBackupMain::Options o;
        o.arguments = std::move(args);
        w = makeOfflineWindow(folder, timers, o);
    }
    QPlainTextEdit* memo() const { return w->findChild<QPlainTextEdit*>(QStringLiteral("Memo1")); }
    CountdownNotice* notice() const {
        return w->findChild<CountdownNotice*>(QStringLiteral("SmartMessageBox"));
    }
    QPushButton* button(const char* name) const {
        return w->findChild<QPushButton*>(QLatin1String(name));
    }
    // The screen log's texts without their stamps, newest first.
    QStringList lines() const {
        QStringList out;
        for (const QString& line :
             memo()->toPlainText().split(QLatin1Char('\n'), Qt::SkipEmptyParts))
            out << line.mid(20);
        return out;
    }
    // Created, shown and prepared: the notice is up.
    void startUp() {
        w->FormCreate(w.get());
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        QVERIFY(timers.preparation().fire());
    }
};
} // namespace

class TestMainWindow : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void startUpShowsLogCaptionAndNotice() {
        Fixture f;
        f.memo()->setPlainText(QStringLiteral("Platzhalter"));
        f.startUp();
        QCOMPARE(f.lines().last(), QStringLiteral("Programm startet"));
        QVERIFY(!f.lines().contains(QStringLiteral("Platzhalter")));
        QCOMPARE(f.lines().first(), QStringLiteral("Prüfung Internetverbindung unterdrückt"));
        QVERIFY(f.w->windowTitle().startsWith(QStringLiteral("OrvelSQLBackup 4.0.0.0 ")));
        QVERIFY(f.notice()->isShowing());
        QVERIFY(f.notice()->popup()->isVisible());
    }

    void clickOnNoticeStopsTheAutomaticRun() {
        Fixture f;
        f.startUp();
        QTest::mouseClick(f.notice()->popup(), Qt::LeftButton, {},
                          f.notice()->popup()->rect().center());
        QVERIFY(!f.notice()->isShowing());
        QCOMPARE(f.lines().first(),
                 QStringLiteral("Automatische Programmausführung wurde deaktiviert"));
        QVERIFY(!f.timers.countdown().isActive());
        QVERIFY(f.w->isVisible());
    }

    // The automatic run ends with the window closed and the program's end signalled once.
    void automaticRunClosesTheWindow() {
        Fixture f;
        QSignalSpy closed(f.w.get(), &TOrvelSQLBackupMain::closed);
        f.startUp();
        QVERIFY(f.timers.countdown().fire());
        QCOMPARE(closed.count(), 1);
        QVERIFY(!f.w->isVisible());
        QVERIFY(!f.notice()->isShowing());
        QCOMPARE(f.lines().first(), QStringLiteral("Programm wird beendet"));
        QCOMPARE(f.w->exitCode(), 0);
    }

    void closingDuringCountdownEndsWithoutRun() {
        Fixture f;
        QSignalSpy closed(f.w.get(), &TOrvelSQLBackupMain::closed);
        f.startUp();
        QVERIFY(f.w->close());
        QCOMPARE(closed.count(), 1);
        QVERIFY(!f.timers.countdown().isActive());
        QVERIFY(!f.notice()->isShowing());
        QCOMPARE(f.lines().first(), QStringLiteral("Programm wird beendet"));
        QVERIFY(!f.lines().contains(QStringLiteral("Verarbeitung abgeschlossen")));
    }

    void exceptionReachingTheWindowBecomesALogLine() {
        Fixture f;
        f.w->FormCreate(f.w.get());
        f.w->ApplicationEvents1Exception(f.w.get(),
                                         ProgramError(QStringLiteral("Lauf abgebrochen")));
        QCOMPARE(f.lines().first(), QStringLiteral("Lauf abgebrochen"));
    }

    void startButtonRunsTheBackup() {
        Fixture f;
        f.startUp();
        QTest::mouseClick(f.button("btnStart"), Qt::LeftButton);
        QCOMPARE(f.lines().mid(0, 2), (QStringList{QStringLiteral("Fehleranzahl: 0"),
                                                   QStringLiteral("Verarbeitung abgeschlossen")}));
    }

    void enterMovesFocusShiftEnterDoesNot_data() {
        QTest::addColumn<Qt::KeyboardModifiers>("modifiers");
        QTest::addColumn<bool>("moves");
        QTest::newRow("enter") << Qt::KeyboardModifiers() << true;
        QTest::newRow("shift+enter") << Qt::KeyboardModifiers(Qt::ShiftModifier) << false;
        QTest::newRow("ctrl+enter") << Qt::KeyboardModifiers(Qt::ControlModifier) << true;
    }
    void enterMovesFocusShiftEnterDoesNot() {
        QFETCH(Qt::KeyboardModifiers, modifiers);
        QFETCH(bool, moves);
        Fixture f;
        auto* panel = f.w->findChild<QWidget*>(QStringLiteral("Panel6"));
        auto* first = new QLineEdit(panel);
        auto* second = new QLineEdit(panel);
        panel->layout()->addWidget(first);
        panel->layout()->addWidget(second);
        QWidget::setTabOrder(first, second);
        f.w->show();
        QVERIFY(QTest::qWaitForWindowExposed(f.w.get()));
        f.w->activateWindow();
        first->setFocus();
        QTRY_COMPARE(QApplication::focusWidget(), first);
        QTest::keyClick(first, Qt::Key_Return, modifiers);
        QCoreApplication::processEvents();
        QCOMPARE(QApplication::focusWidget(), moves ? second : first);
    }

    void topBarButtonsInTabOrder() {
        Fixture f;
        QList<QWidget*> chain;
        for (QWidget* x = f.button("btnStart"); chain.size() < 4; x = x->nextInFocusChain())
            if (x->focusPolicy() & Qt::TabFocus)
                chain << x;
        QCOMPARE(chain, (QList<QWidget*>{f.button("btnStart"), f.button("btnEmailsenden"),
                                         f.button("Button3"), f.button("btnUpdate")}));
        QCOMPARE(f.button("btnStart")->text(), QStringLiteral("Sicherungen jetzt ausführen"));
        // At least the designed width, and never narrower than the caption needs.
        const QList<std::pair<const char*, int>> widths{
            {"btnStart", 153}, {"btnEmailsenden", 106}, {"btnUpdate", 113}, {"Button3", 75}};
        for (const auto& [name, designed] : widths) {
            QPushButton* b = f.button(name);
            QVERIFY2(b->minimumWidth() >= designed, name);
            QVERIFY2(b->minimumWidth() >= b->sizeHint().width(), name);
        }
    }
};

int main(int argc, char** argv) {
    qputenv("LC_ALL", "de_DE.UTF-8");
    QApplication app(argc, argv);
    TestMainWindow test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_mainwindow.moc"
