// One upload of a file by the program's FTP/FTPS client; prints the seconds it took.
// Usage: upload_bench HOST PORT USER REMOTE LOCAL ftp|ftps   (password in ORVEL_BENCH_PASSWORD)
#include "transfer/ftp/FtpDestination.h"

#include <QElapsedTimer>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc != 7) {
        std::fprintf(stderr, "usage: upload_bench HOST PORT USER REMOTE LOCAL ftp|ftps\n");
        return 2;
    }
    DestinationConfig config;
    config.host = QString::fromLocal8Bit(argv[1]);
    config.port = std::atoi(argv[2]);
    config.user = QString::fromLocal8Bit(argv[3]);
    config.password = qEnvironmentVariable("ORVEL_BENCH_PASSWORD");
    config.protocol =
        QByteArray(argv[6]) == "ftps" ? DestinationConfig::Ftps : DestinationConfig::Ftp;
    config.keysFolder = QStringLiteral("./");
    // Run by hand: the local test server's key is kept at first use, as an attended run does.
    config.attended = true;
    FtpDestination destination(config);
    DestinationEvents quiet;
    QElapsedTimer clock;
    clock.start();
    const StoreResult result = destination.store(QString::fromLocal8Bit(argv[5]),
                                                 QString::fromLocal8Bit(argv[4]), quiet);
    const double seconds = clock.nsecsElapsed() / 1e9;
    if (!result.stored) {
        std::fprintf(stderr, "upload failed: %s\n", result.error.toUtf8().constData());
        return 1;
    }
    std::printf("%.3f\n", seconds);
    return 0;
}
