// One upload of a file by the program's FTP/FTPS client; prints the seconds it took.
// Usage: upload_bench HOST PORT USER REMOTE LOCAL ftp|ftps   (password in ORVEL_BENCH_PASSWORD)
#include "transfer/ftp/CurlTransfer.h"

#include <QElapsedTimer>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc != 7) {
        std::fprintf(stderr, "usage: upload_bench HOST PORT USER REMOTE LOCAL ftp|ftps\n");
        return 2;
    }
    CurlStoreRequest request;
    request.host = QString::fromLocal8Bit(argv[1]);
    request.port = std::atoi(argv[2]);
    request.user = QString::fromLocal8Bit(argv[3]);
    request.password = qEnvironmentVariable("ORVEL_BENCH_PASSWORD");
    request.remotePath = QString::fromLocal8Bit(argv[4]);
    request.localPath = QString::fromLocal8Bit(argv[5]);
    request.explicitTls = QByteArray(argv[6]) == "ftps";
    QElapsedTimer clock;
    clock.start();
    const CurlStoreResult result = curlStore(request);
    const double seconds = clock.nsecsElapsed() / 1e9;
    if (!result.stored) {
        std::fprintf(stderr, "upload failed: %s\n", result.error.toUtf8().constData());
        return 1;
    }
    std::printf("%.3f\n", seconds);
    return 0;
}
