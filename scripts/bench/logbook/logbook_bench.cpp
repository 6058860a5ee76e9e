// Cost of one log book entry with few and with many lines already on screen.
#include "app/ScreenLog.h"
#include "core/LogBook.h"
#include "platform/Clock.h"

#include <QApplication>
#include <QPlainTextEdit>
#include <QTemporaryDir>

#include <cstdio>
#include <ctime>

namespace {
// CPU time of this thread: far less disturbed by other work on a shared machine than wall time.
qint64 threadCpuNs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}
} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const int total = argc > 1 ? std::atoi(argv[1]) : 50000;
    const int window = total / 10;

    QTemporaryDir dir;
    QPlainTextEdit screen;
    screen.resize(800, 600);
    screen.show();
    ScreenLog view(&screen);
    LogBook log(SystemClock::instance());
    log.setView(&view);
    log.setLogFolder(dir.path() + QStringLiteral("/"));

    qint64 firstNs = 0;
    qint64 lastNs = 0;
    for (int i = 1; i <= total; ++i) {
        const QString text = QStringLiteral("Starte Backup für Datenbank: Lager %1").arg(i);
        const qint64 start = threadCpuNs();
        log.writelogentry(text);
        const qint64 ns = threadCpuNs() - start;
        if (i <= window)
            firstNs += ns;
        else if (i > total - window)
            lastNs += ns;
    }
    const double first = double(firstNs) / window / 1000.0;
    const double last = double(lastNs) / window / 1000.0;
    std::printf("entries 1-%d:        %8.1f us CPU per entry\n", window, first);
    std::printf("entries %d-%d: %8.1f us CPU per entry\n", total - window + 1, total, last);
    std::printf("ratio last/first:    %8.2f (target: at most 1.5)\n", last / first);
    return 0;
}
