#include "platform/ProgramError.h"
#include "platform/WorkerCall.h"

#include <QElapsedTimer>
#include <QThread>
#include <QTimer>
#include <QtTest>

#include <stdexcept>
#include <thread>

using namespace std::chrono_literals;

class TestWorkerCall : public QObject {
    Q_OBJECT

private slots:
    void runsOnWorkerWhileCallerProcessesEvents();
    void handsBackExceptions_data();
    void handsBackExceptions();
    void nestedCallIsRefusedAndOuterCompletes();
    void runsInlineOffTheMainThread();
    void applicationQuitDoesNotCutTheWaitShort();
};

// A slow call must not freeze the window: timers keep firing while it runs.
void TestWorkerCall::runsOnWorkerWhileCallerProcessesEvents() {
    int ticks = 0;
    QTimer timer;
    timer.setInterval(10);
    connect(&timer, &QTimer::timeout, this, [&] { ++ticks; });
    timer.start();

    Qt::HANDLE callerThread = QThread::currentThreadId();
    Qt::HANDLE workerThread = nullptr;
    const int result = workerCall([&] {
        workerThread = QThread::currentThreadId();
        std::this_thread::sleep_for(300ms);
        return 42;
    });

    QCOMPARE(result, 42);
    QVERIFY(workerThread != callerThread);
    QVERIFY2(ticks >= 5,
             qPrintable(QStringLiteral("only %1 timer ticks during the call").arg(ticks)));
    QVERIFY(!WorkerCall::isWaiting());
}

void TestWorkerCall::handsBackExceptions_data() {
    QTest::addColumn<bool>("programError");
    QTest::newRow("ProgramError keeps its text") << true;
    QTest::newRow("other std::exception") << false;
}

void TestWorkerCall::handsBackExceptions() {
    QFETCH(bool, programError);
    const QString text = QStringLiteral("Verbindung fehlgeschlagen: Größe");
    try {
        workerCall([&]() -> int {
            if (programError)
                throw ProgramError(text);
            throw std::runtime_error(text.toStdString());
        });
        QFAIL("no exception came back");
    } catch (const std::exception& e) {
        QCOMPARE(exceptionText(e), text);
        QCOMPARE(dynamic_cast<const ProgramError*>(&e) != nullptr, programError);
    }
    QVERIFY(!WorkerCall::isWaiting());
}

// A click handled during the wait that starts another server call must not run it on top
// of the waiting one.
void TestWorkerCall::nestedCallIsRefusedAndOuterCompletes() {
    bool nestedRan = false;
    QString nestedError;
    QTimer::singleShot(20, this, [&] {
        QVERIFY(WorkerCall::isWaiting());
        try {
            workerCall([&] { nestedRan = true; });
        } catch (const ProgramError& e) {
            nestedError = e.message();
        }
    });

    bool outerDone = false;
    workerCall([&] {
        std::this_thread::sleep_for(200ms);
        outerDone = true;
    });

    QVERIFY(outerDone);
    QVERIFY(!nestedRan);
    QVERIFY(!nestedError.isEmpty());
    // Once the outer call is over, the next call works again.
    QCOMPARE(workerCall([] { return 7; }), 7);
}

void TestWorkerCall::runsInlineOffTheMainThread() {
    Qt::HANDLE outer = nullptr;
    Qt::HANDLE inner = nullptr;
    int result = 0;
    std::thread other([&] {
        outer = QThread::currentThreadId();
        result = workerCall([&] {
            inner = QThread::currentThreadId();
            return 5;
        });
    });
    other.join();
    QCOMPARE(result, 5);
    QCOMPARE(inner, outer);
}

// Quitting the application while a call waits must not return before the worker is done:
// the worker still uses the caller's data. Runs last: afterwards event loops end at once.
void TestWorkerCall::applicationQuitDoesNotCutTheWaitShort() {
    QTimer::singleShot(20, this, [] { QCoreApplication::exit(0); });
    bool finished = false;
    QElapsedTimer elapsed;
    elapsed.start();
    const int result = workerCall([&] {
        std::this_thread::sleep_for(300ms);
        finished = true;
        return 9;
    });
    QVERIFY(finished);
    QCOMPARE(result, 9);
    QVERIFY(elapsed.elapsed() >= 290);
}

QTEST_GUILESS_MAIN(TestWorkerCall)
#include "tst_workercall.moc"
