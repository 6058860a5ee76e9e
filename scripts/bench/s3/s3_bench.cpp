// One store of a file by the program's S3 destination; prints the seconds it took.
// Usage: s3_bench HOST PORT ACCESS_KEY BUCKET/PREFIX/ REMOTE LOCAL KEYS_FOLDER
// (secret key in ORVEL_BENCH_SECRET; the gateway's key is kept at first use in KEYS_FOLDER)
#include "transfer/s3/S3Destination.h"

#include <QElapsedTimer>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc != 8) {
        std::fprintf(stderr,
                     "usage: s3_bench HOST PORT ACCESS_KEY BUCKET/PREFIX/ REMOTE LOCAL KEYS\n");
        return 2;
    }
    DestinationConfig config;
    config.protocol = DestinationConfig::S3;
    config.host = QString::fromLocal8Bit(argv[1]);
    config.port = std::atoi(argv[2]);
    config.user = QString::fromLocal8Bit(argv[3]);
    config.password = qEnvironmentVariable("ORVEL_BENCH_SECRET");
    config.pathPrefix = QString::fromLocal8Bit(argv[4]);
    config.keysFolder = QString::fromLocal8Bit(argv[7]);
    // ORVEL_BENCH_CONNECTIONS, ORVEL_BENCH_PART_MIB: other settings than the program's to compare.
    S3Destination::Tuning tuning;
    if (qEnvironmentVariableIsSet("ORVEL_BENCH_CONNECTIONS"))
        tuning.connections = qEnvironmentVariableIntValue("ORVEL_BENCH_CONNECTIONS");
    if (qEnvironmentVariableIsSet("ORVEL_BENCH_PART_MIB"))
        tuning.minPartBytes =
            qEnvironmentVariableIntValue("ORVEL_BENCH_PART_MIB") * S3Destination::MiB;
    S3Destination destination(config, tuning, &QDateTime::currentDateTimeUtc);
    DestinationEvents quiet;
    QElapsedTimer clock;
    clock.start();
    const StoreResult result =
        destination.store(QString::fromLocal8Bit(argv[6]), QString::fromLocal8Bit(argv[5]), quiet);
    const double seconds = clock.nsecsElapsed() / 1e9;
    if (!result.stored) {
        std::fprintf(stderr, "upload failed: %s\n", result.error.toUtf8().constData());
        return 1;
    }
    std::printf("%.3f\n", seconds);
    return 0;
}
