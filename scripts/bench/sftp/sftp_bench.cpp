// One upload by our SFTP session, as the SFTP window makes it (UploadStream of the archive file),
// with a key file login. Prints the seconds from the connection to its end, as OpenSSH's sftp is
// timed with its connection.
// Usage: sftp_bench HOST PORT USER KEYFILE LOCALFILE REMOTEPATH

#include "transfer/sftp/TTGPuttySFTP.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>

#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc != 7) {
        std::fprintf(stderr, "usage: sftp_bench HOST PORT USER KEYFILE LOCALFILE REMOTEPATH\n");
        return 2;
    }
    try {
        TTGPuttySFTP::setLibraryFolder(QStringLiteral(PROGRAM_FOLDER));
        TTGPuttySFTP session(false);
        session.setHostName(argv[1]);
        session.setPort(QByteArray(argv[2]).toInt());
        session.setUserName(argv[3]);
        session.setKeyfile(argv[4]);
        // The benchmark's own server: its key is taken without being stored.
        session.OnVerifyHostKey = [](const QByteArray&, qint32, const QByteArray&, qint32,
                                     bool& store) {
            store = false;
            return true;
        };
        QFile file(QString::fromLocal8Bit(argv[5]));
        if (!file.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "cannot read %s\n", argv[5]);
            return 1;
        }
        QElapsedTimer clock;
        clock.start();
        session.Connect();
        session.UploadStream(argv[6], &file, false);
        fxp_attrs attrs{};
        session.GetStat(argv[6], attrs);
        if (qint64(attrs.size) != file.size()) {
            std::fprintf(stderr, "remote size %llu, local %lld\n",
                         static_cast<unsigned long long>(attrs.size),
                         static_cast<long long>(file.size()));
            return 1;
        }
        session.Disconnect();
        const double seconds = clock.nsecsElapsed() / 1e9;
        std::printf("%.3f\n", seconds);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", qPrintable(exceptionText(e)));
        return 1;
    }
}
