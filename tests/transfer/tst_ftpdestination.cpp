// What the FTP destination does beyond the store the upload suite checks, against the FTP/FTPS
// test server on 127.0.0.1: a fetch replaces the local file only once the whole file arrived and
// leaves nothing behind when the line breaks, a stat tells a missing file from a present one,
// and an FTPS server with another key than the kept one gets no login.
#include "ClosedPort.h"
#include "FtpTestServer.h"
#include "TempFolder.h"
#include "transfer/Destination.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QTest>

namespace {

const QString kName = QStringLiteral("Lager3.ZIP");
const QString kPrefix = QStringLiteral("archiv/");

QByteArray archiveBytes(int size = 300000) {
    QByteArray data;
    data.reserve(size);
    for (int i = 0; data.size() < size; ++i)
        data.append(i % 7 == 0 ? QByteArray("\r\n") : QByteArray(1, char(i * 31)));
    return data.left(size);
}

bool writeFile(const QString& path, const QByteArray& content) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(content) == content.size();
}

QByteArray readFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

struct RecordingEvents final : DestinationEvents {
    QStringList lines;
    int loggedIns = 0;
    qint64 total = -2; // -2: started was not called
    qint64 done = -1;
    int finishes = 0;
    void line(const QString& text) override { lines << text; }
    void loggedIn() override { ++loggedIns; }
    void started(qint64 totalBytes) override { total = totalBytes; }
    void progress(qint64 bytesDone) override { done = bytesDone; }
    void finished() override { ++finishes; }
};

struct Fixture {
    TempFolder folder; // the program folder (ftps_known_hosts) and the local files
    FtpTestServer server;
    QByteArray content = archiveBytes();

    bool start(QJsonObject scenario = FtpTestServer::defaultScenario()) {
        if (!server.start(scenario))
            return false;
        return QDir(server.home()).mkpath(QStringLiteral("archiv")) &&
               writeFile(server.home() + QStringLiteral("/archiv/") + kName, content);
    }
    DestinationConfig config(int protocol = 0, bool passive = true) const {
        DestinationConfig c;
        c.protocol = protocol;
        c.host = QStringLiteral("127.0.0.1");
        c.port = server.port();
        c.user = QStringLiteral("backup");
        c.password = QStringLiteral("geheim");
        c.pathPrefix = kPrefix;
        c.passive = passive;
        c.keysFolder = folder.path();
        c.attended = true; // someone watches: a new key is kept at first use
        return c;
    }
    // Temporary files a fetch left beside its target.
    QStringList leftovers() const {
        return QDir(folder.path()).entryList({QStringLiteral("*.part*")}, QDir::Files);
    }
    bool passSent() const {
        for (const QString& line : server.commandLog())
            if (line.contains(QStringLiteral("PASS")))
                return true;
        return false;
    }
};

} // namespace

class FtpDestinationTest : public QObject {
    Q_OBJECT

private slots:
    void ftpAndFtpsHaveADestination() {
        for (const int protocol : {0, 1}) {
            DestinationConfig c;
            c.protocol = protocol;
            const auto destination = makeDestination(c);
            QVERIFY(destination);
            QVERIFY(!destination->properties().atomicStore);
        }
        DestinationConfig unknown;
        unknown.protocol = 7;
        QVERIFY(!makeDestination(unknown));
    }

    // The fetched file is the server's byte for byte and takes the local name only when whole;
    // a failed fetch leaves the old local file as it was and no temporary file.
    void fetchReplacesOnlyWhenWhole_data() {
        QTest::addColumn<int>("protocol");
        QTest::addColumn<bool>("passive");
        QTest::addColumn<QJsonObject>("faults");
        QTest::addColumn<QString>("remote"); // the name fetched
        QTest::addColumn<bool>("oldFile");   // a local file of that name is there before
        QTest::addColumn<QString>("error");  // empty: fetched

        const QJsonObject none;
        const QJsonObject cut{{QStringLiteral("drop_retr_after"), 100000}};
        QTest::newRow("FTP, new local file") << 0 << true << none << kName << false << QString();
        QTest::newRow("FTP, replaces the local file")
            << 0 << true << none << kName << true << QString();
        QTest::newRow("FTP active") << 0 << false << none << kName << true << QString();
        QTest::newRow("FTPS") << 1 << true << none << kName << true << QString();
        QTest::newRow("FTP cut during RETR")
            << 0 << true << cut << kName << true << QStringLiteral("*");
        QTest::newRow("FTPS cut during RETR")
            << 1 << true << cut << kName << true << QStringLiteral("*");
        QJsonObject shortFile = cut;
        shortFile.insert(QStringLiteral("short_retr"), true);
        QTest::newRow("FTP file ends early, answered 226")
            << 0 << true << shortFile << kName << true << QStringLiteral("*");
        QTest::newRow("FTPS file ends early, answered 226")
            << 1 << true << shortFile << kName << true << QStringLiteral("*");
        QTest::newRow("no such remote file")
            << 0 << true << none << QStringLiteral("Fehlt.ZIP") << true
            << QStringLiteral("Die Datei archiv/Fehlt.ZIP gibt es auf dem FTP-Server nicht");
    }
    void fetchReplacesOnlyWhenWhole() {
        QFETCH(int, protocol);
        QFETCH(bool, passive);
        QFETCH(QJsonObject, faults);
        QFETCH(QString, remote);
        QFETCH(bool, oldFile);
        QFETCH(QString, error);
        Fixture f;
        QJsonObject scenario = FtpTestServer::defaultScenario();
        scenario[QStringLiteral("tls")] = protocol == 1;
        for (auto it = faults.begin(); it != faults.end(); ++it)
            scenario[it.key()] = it.value();
        QVERIFY2(f.start(scenario), qPrintable(f.server.errorText()));
        const QString local = f.folder.file(remote);
        const QByteArray old("last week's archive");
        if (oldFile)
            QVERIFY(writeFile(local, old));

        RecordingEvents events;
        const FetchResult result =
            makeDestination(f.config(protocol, passive))->fetch(remote, local, events);
        if (error.isEmpty()) {
            QVERIFY2(result.fetched, qPrintable(result.error + f.server.serverLog()));
            QCOMPARE(result.bytes, qint64(f.content.size()));
            QCOMPARE(readFile(local), f.content);
            QCOMPARE(events.total, qint64(f.content.size()));
            QCOMPARE(events.done, qint64(f.content.size()));
            QCOMPARE(events.finishes, 1);
        } else {
            QVERIFY(!result.fetched);
            QVERIFY(!result.error.isEmpty());
            if (error != QLatin1String("*"))
                QCOMPARE(result.error, error);
            else // the file ended in the middle
                QVERIFY2(f.server.serverLog().contains(QStringLiteral("cutting the data")) ||
                             f.server.serverLog().contains(QStringLiteral("ending the data")),
                         qPrintable(result.error));
            if (oldFile)
                QCOMPARE(readFile(local), old);
            else
                QVERIFY(!QFile::exists(local));
        }
        QCOMPARE(events.loggedIns, 1);
        QCOMPARE(f.leftovers(), QStringList());
    }

    // Into a sink: the same bytes, nothing else.
    void fetchIntoASink() {
        Fixture f;
        QVERIFY2(f.start(), qPrintable(f.server.errorText()));
        QBuffer sink;
        sink.open(QIODevice::WriteOnly);
        RecordingEvents events;
        const FetchResult result = makeDestination(f.config())->fetchInto(kName, sink, events);
        QVERIFY2(result.fetched, qPrintable(result.error));
        QCOMPARE(sink.data(), f.content);
    }

    // A stat tells a missing file (no error) from a stored one with its size and time; after a
    // removal the file is missing again. The proxy environment plays no part.
    void statAfterStoreAndRemove() {
        Fixture f;
        QVERIFY2(f.start(), qPrintable(f.server.errorText()));
        const QByteArray dead = QByteArray("http://127.0.0.1:") + QByteArray::number(closedPort());
        const char* proxies[] = {"ftp_proxy", "FTP_PROXY", "all_proxy", "ALL_PROXY"};
        for (const char* name : proxies)
            qputenv(name, dead);
        const auto destination = makeDestination(f.config());
        RecordingEvents events;

        StatResult missing = destination->stat(QStringLiteral("Neu.ZIP"), events);
        const QString local = f.folder.file(QStringLiteral("Neu.ZIP"));
        const QByteArray content = archiveBytes(123457);
        const bool written = writeFile(local, content);
        const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-5);
        const StoreResult stored = destination->store(local, QStringLiteral("Neu.ZIP"), events);
        const QByteArray onServer = readFile(f.server.home() + QStringLiteral("/archiv/Neu.ZIP"));
        const StatResult present = destination->stat(QStringLiteral("Neu.ZIP"), events);
        const RemoveResult removed = destination->remove(QStringLiteral("Neu.ZIP"), events);
        const StatResult gone = destination->stat(QStringLiteral("Neu.ZIP"), events);
        for (const char* name : proxies)
            qunsetenv(name);

        QVERIFY2(missing.error.isEmpty(), qPrintable(missing.error));
        QVERIFY(!missing.file.exists);
        QVERIFY(written);
        QVERIFY2(stored.stored, qPrintable(stored.error));
        QCOMPARE(stored.remoteSize, qint64(content.size()));
        QCOMPARE(onServer, content);
        QVERIFY2(present.error.isEmpty(), qPrintable(present.error));
        QVERIFY(present.file.exists);
        QCOMPARE(present.file.size, qint64(content.size()));
        QVERIFY(present.file.modified.isValid());
        QVERIFY2(present.file.modified >= before &&
                     present.file.modified <= QDateTime::currentDateTimeUtc().addSecs(5),
                 qPrintable(present.file.modified.toString(Qt::ISODate)));
        QVERIFY2(removed.removed, qPrintable(removed.error));
        QVERIFY(gone.error.isEmpty());
        QVERIFY(!gone.file.exists);
    }

    // An FTPS server that shows another key than the one kept for it gets no login, and the
    // local file stays as it was.
    void ftpsFetchRefusedOnAChangedKey() {
        Fixture f;
        QJsonObject scenario = FtpTestServer::defaultScenario();
        scenario[QStringLiteral("tls")] = true;
        QVERIFY2(f.start(scenario), qPrintable(f.server.errorText()));
        const QByteArray kept = "127.0.0.1:" + QByteArray::number(f.server.port()) + " sha256//" +
                                QByteArray(32, 'k').toBase64() + " # gespeichert am 2026-01-01\n";
        QVERIFY(writeFile(f.folder.file(QStringLiteral("ftps_known_hosts")), kept));
        const QString local = f.folder.file(kName);
        QVERIFY(writeFile(local, "old"));

        RecordingEvents events;
        const FetchResult result = makeDestination(f.config(1))->fetch(kName, local, events);
        QVERIFY(!result.fetched);
        QVERIFY2(result.error.startsWith(
                     QStringLiteral("Der Schlüssel des FTPS-Servers 127.0.0.1:%1 hat sich geändert")
                         .arg(f.server.port())),
                 qPrintable(result.error));
        QVERIFY(!f.passSent());
        QCOMPARE(events.loggedIns, 0);
        QCOMPARE(readFile(local), QByteArray("old"));
        QCOMPARE(readFile(f.folder.file(QStringLiteral("ftps_known_hosts"))), kept);
        QCOMPARE(f.leftovers(), QStringList());
    }
};

QTEST_GUILESS_MAIN(FtpDestinationTest)
#include "tst_ftpdestination.moc"
