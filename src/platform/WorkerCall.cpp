#include "platform/WorkerCall.h"

#include "platform/ProgramError.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QScopeGuard>
#include <QThread>

#include <exception>
#include <memory>

namespace {
// Only the main thread ever waits, so a plain flag is enough.
bool s_waiting = false;
} // namespace

bool WorkerCall::isWaiting() {
    return s_waiting;
}

void WorkerCall::run(const std::function<void()>& job) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || QThread::currentThread() != app->thread()) {
        job();
        return;
    }
    if (s_waiting)
        throw ProgramError(QStringLiteral(
            "Ein Serverzugriff läuft noch; der neue Aufruf wurde nicht ausgeführt."));

    s_waiting = true;
    const auto resetFlag = qScopeGuard([] { s_waiting = false; });

    std::exception_ptr failure;
    std::unique_ptr<QThread> worker(QThread::create([&job, &failure] {
        try {
            job();
        } catch (...) {
            failure = std::current_exception();
        }
    }));

    QEventLoop loop;
    QObject::connect(worker.get(), &QThread::finished, &loop, &QEventLoop::quit,
                     Qt::QueuedConnection);
    worker->start();
    // exec() also returns when the application is told to quit; the worker still holds
    // references into this frame, so keep waiting for it. Once quitting has begun, exec()
    // returns at once, hence the plain wait with event processing as the fallback.
    while (!worker->isFinished()) {
        loop.exec();
        while (!worker->isFinished() && !worker->wait(QDeadlineTimer(20)))
            QCoreApplication::processEvents();
    }
    worker->wait();

    if (failure)
        std::rethrow_exception(failure);
}

void WorkerCall::onMainThread(const std::function<void()>& f) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || QThread::currentThread() == app->thread()) {
        f();
        return;
    }
    QMetaObject::invokeMethod(app, f, Qt::BlockingQueuedConnection);
}
