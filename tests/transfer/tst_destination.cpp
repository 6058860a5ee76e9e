// Every destination through the same cases, each against its protocol's test server on
// 127.0.0.1 (S3: Ceph's RADOS Gateway, read and written by awscli): what is stored comes back
// byte for byte, stat and remove say what is there, a listing names the folder's files, a copy
// is made on the server where it can be, a store replaces, a missing file is reported as missing, a
// wrong password or a server key that is not the kept one stores nothing, and a store cut in the
// middle leaves nothing under the name once the caller removed what it left (or the old file, where
// a store is all-or-nothing).

#include "FtpTestServer.h"
#include "MemoryLog.h"
#include "S3TestGateway.h"
#include "ScriptServer.h"
#include "SftpFixture.h"
#include "platform/ErrorCount.h"
#include "transfer/ArchiveKeeping.h"
#include "transfer/Destination.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QtTest>

namespace {

const QString kName = QStringLiteral("Lager3.ZIP");

// What a destination tells while it works; the host key question is answered as told.
class RecordedEvents final : public DestinationEvents {
public:
    void line(const QString& text) override { lines << text; }
    void loggedIn() override { ++logins; }
    void started(qint64 totalBytes) override { total = totalBytes; }
    void progress(qint64 bytesDone) override { done = bytesDone; }
    HostKeyAnswer askHostKey(const QString& text, const QString&) override {
        questions << text;
        return answer;
    }

    QStringList lines;
    QStringList questions;
    HostKeyAnswer answer = HostKeyAnswer::Unattended;
    int logins = 0;
    qint64 total = -1;
    qint64 done = -1;
};

enum Protocol {
    Ftp = DestinationConfig::Ftp,
    Ftps = DestinationConfig::Ftps,
    Sftp = DestinationConfig::Sftp,
    S3 = DestinationConfig::S3,
};

QString protocolName(int protocol) {
    switch (protocol) {
    case Ftp:
        return QStringLiteral("FTP");
    case Ftps:
        return QStringLiteral("FTPS");
    case S3:
        return QStringLiteral("S3");
    default:
        return QStringLiteral("SFTP");
    }
}

// One protocol's test server in a program folder of its own.
struct World : SftpFixture {
    int protocol = Ftp;
    FtpTestServer ftp;
    // S3: the shared gateway, a key prefix of this world's own, and the relay that cuts
    // connections when the world has faults.
    S3TestGateway gateway;
    QString s3Prefix;
    ScriptServer relay{QStringLiteral("cut_relay.py")};

    explicit World(int p) : protocol(p) {}

    // faults: scenario keys of the protocol's server.
    bool start(const QJsonObject& faults = {}) {
        if (protocol == S3) {
            static int worlds = 0;
            s3Prefix = QStringLiteral("world-%1-%2/")
                           .arg(QDateTime::currentMSecsSinceEpoch())
                           .arg(++worlds);
            if (!gateway.load() || gateway.bucket().isEmpty())
                return false;
            if (faults.isEmpty())
                return true;
            QJsonObject s = faults;
            s[QStringLiteral("target_port")] = gateway.port();
            return relay.start(s);
        }
        if (protocol == Sftp) {
            QJsonObject s = SftpTestServer::defaultScenario();
            for (auto it = faults.begin(); it != faults.end(); ++it)
                s[it.key()] = it.value();
            return installLibrary() && server.start(s);
        }
        QJsonObject s = FtpTestServer::defaultScenario();
        s[QStringLiteral("tls")] = protocol == Ftps;
        s[QStringLiteral("tls_min_version")] = QStringLiteral("1.2");
        for (auto it = faults.begin(); it != faults.end(); ++it)
            s[it.key()] = it.value();
        TTGPuttySFTP::setLibraryFolder(folder.path());
        return ftp.start(s);
    }
    QString errorText() const {
        if (protocol == S3)
            return gateway.errorText() + relay.errorText();
        return protocol == Sftp ? server.errorText() : ftp.errorText();
    }
    int port() const {
        if (protocol == S3)
            return relay.isRunning() ? relay.port() : gateway.port();
        return protocol == Sftp ? server.port() : ftp.port();
    }
    QString home() const { return protocol == Sftp ? server.home() : ftp.home(); }
    QString remote() const { return home() + QLatin1Char('/') + kName; }
    bool remoteExists() const {
        if (protocol == S3)
            return !gateway.head(gateway.bucketName(), s3Prefix + kName).isEmpty();
        return QFile::exists(remote());
    }

    // S3: "geheim" stands for the gateway's secret key, any other for a wrong one.
    DestinationConfig config(const QString& password = QStringLiteral("geheim")) const {
        DestinationConfig c;
        c.protocol = protocol;
        c.host = QStringLiteral("127.0.0.1");
        c.port = port();
        c.user = QStringLiteral("backup");
        c.password = password;
        c.pathPrefix = QStringLiteral("/");
        c.keysFolder = folder.path() + QLatin1Char('/');
        c.attended = true; // someone watches: a new key is kept at first use
        if (protocol == S3) {
            c.user = gateway.accessKey();
            c.password = password == QLatin1String("geheim")
                             ? gateway.secretKey()
                             : (password + QString(40, QLatin1Char('x'))).left(40);
            c.pathPrefix = gateway.bucketName() + QLatin1Char('/') + s3Prefix;
        }
        return c;
    }

    // The server's key as the kept keys know it: SFTP in known_hosts; FTPS is kept at first use.
    void trustServer() {
        if (protocol == Sftp)
            seedKnownHost();
    }
    // Another key kept for the server than the one it shows.
    void keepOtherKey() {
        if (protocol == Sftp) {
            QFile kh(knownHostsFile());
            QVERIFY(kh.open(QIODevice::WriteOnly));
            kh.write("[127.0.0.1]:" + QByteArray::number(port()) +
                     " ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIKUONnDRJKZZ7h8ZD7Zmp4yGrgdR+7v7kmJcRqnh"
                     "EnZT\n");
        } else {
            QFile kh(folder.file(QStringLiteral("ftps_known_hosts")));
            QVERIFY(kh.open(QIODevice::WriteOnly));
            kh.write("127.0.0.1:" + QByteArray::number(port()) +
                     " sha256//AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA= 2026-01-01\n");
        }
    }

    QString writeLocal(const QString& name, const QByteArray& data) {
        const QString path = folder.file(name);
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly) || f.write(data) != data.size())
            qFatal("local file not written");
        return path;
    }
    void writeRemote(const QByteArray& data, const QString& name = kName) const {
        if (protocol == S3) {
            if (!gateway.put(gateway.bucketName(), s3Prefix + name, data))
                qFatal("remote object not written");
            return;
        }
        QFile f(home() + QLatin1Char('/') + name);
        if (!f.open(QIODevice::WriteOnly) || f.write(data) != data.size())
            qFatal("remote file not written");
    }
    QByteArray readRemote(const QString& name = kName) const {
        if (protocol == S3)
            return gateway.get(gateway.bucketName(), s3Prefix + name);
        QFile f(home() + QLatin1Char('/') + name);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }
};

QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

void addProtocolRows(const QList<int>& protocols) {
    QTest::addColumn<int>("protocol");
    for (int p : protocols)
        QTest::newRow(qPrintable(protocolName(p))) << p;
}

} // namespace

class TestDestination : public QObject {
    Q_OBJECT

private slots:
    void storeFetchStatRemove_data() { addProtocolRows({Ftp, Ftps, Sftp, S3}); }
    void storeFetchStatRemove();
    void missingFile_data() { addProtocolRows({Ftp, Ftps, Sftp, S3}); }
    void missingFile();
    void refused_data();
    void refused();
    void cutStore_data();
    void cutStore();
    void list_data();
    void list();
    void copy_data() { addProtocolRows({Ftp, Ftps, Sftp, S3}); }
    void copy();
    void keepArchives_data() { addProtocolRows({Ftp, Ftps, Sftp, S3}); }
    void keepArchives();
    void keepArchivesFailing_data();
    void keepArchivesFailing();
};

// Stored over last week's file, it comes back whole into a file and into a sink; stat shows its
// size; once removed it is absent, and a second removal finds nothing to do.
void TestDestination::storeFetchStatRemove() {
    QFETCH(int, protocol);
    World w(protocol);
    QVERIFY2(w.start(), qPrintable(w.errorText()));
    w.trustServer();
    w.writeRemote(QByteArray(5000, 'w'));
    const QByteArray data = SftpFixture::randomBytes(700 * 1024 + 3);
    const QString local = w.writeLocal(kName, data);
    const DestinationConfig config = w.config();
    auto destination = makeDestination(config);
    QVERIFY(destination);

    RecordedEvents events;
    const StoreResult stored = destination->store(local, kName, events);
    QVERIFY2(stored.stored, qPrintable(stored.error + events.lines.join(QLatin1Char('\n'))));
    QVERIFY(stored.remoteSize == data.size() ||
            (stored.remoteSize < 0 && !destination->properties().reportsSize));
    QVERIFY(w.readRemote() == data);
    QVERIFY(events.questions.isEmpty());
    for (const QString& line : events.lines)
        QVERIFY2(!line.contains(config.password), qPrintable(line));

    const StatResult stat = destination->stat(kName, events);
    QVERIFY2(stat.error.isEmpty(), qPrintable(stat.error));
    QVERIFY(stat.file.exists);
    QCOMPARE(stat.file.size, data.size());

    // Into a file that holds something else: replaced only once whole, no leftovers beside it.
    const QString back = w.writeLocal(QStringLiteral("back.ZIP"), "old");
    const FetchResult fetched = destination->fetch(kName, back, events);
    QVERIFY2(fetched.fetched, qPrintable(fetched.error));
    QCOMPARE(fetched.bytes, data.size());
    QVERIFY(readAll(back) == data);
    QCOMPARE(QDir(w.folder.path()).entryList({QStringLiteral("back.ZIP*")}, QDir::Files),
             QStringList{QStringLiteral("back.ZIP")});

    QBuffer sink;
    QVERIFY(sink.open(QIODevice::WriteOnly));
    const FetchResult streamed = destination->fetchInto(kName, sink, events);
    QVERIFY2(streamed.fetched, qPrintable(streamed.error));
    QVERIFY(sink.data() == data);

    const RemoveResult removed = destination->remove(kName, events);
    QVERIFY2(removed.removed, qPrintable(removed.error));
    QVERIFY(!w.remoteExists());
    const StatResult gone = destination->stat(kName, events);
    QVERIFY2(gone.error.isEmpty(), qPrintable(gone.error));
    QVERIFY(!gone.file.exists);
    QVERIFY(destination->remove(kName, events).removed);
}

// A file that is not there: stat says so without an error, a fetch fails and leaves the local
// file as it was.
void TestDestination::missingFile() {
    QFETCH(int, protocol);
    World w(protocol);
    QVERIFY2(w.start(), qPrintable(w.errorText()));
    w.trustServer();
    auto destination = makeDestination(w.config());
    RecordedEvents events;
    const StatResult stat = destination->stat(kName, events);
    QVERIFY2(stat.error.isEmpty(), qPrintable(stat.error));
    QVERIFY(!stat.file.exists);
    const QString local = w.writeLocal(QStringLiteral("back.ZIP"), "keep me");
    const FetchResult fetched = destination->fetch(kName, local, events);
    QVERIFY(!fetched.fetched);
    QVERIFY(!fetched.error.isEmpty());
    QCOMPARE(readAll(local), QByteArray("keep me"));
    QCOMPARE(QDir(w.folder.path()).entryList({QStringLiteral("back.ZIP*")}, QDir::Files),
             QStringList{QStringLiteral("back.ZIP")});
}

void TestDestination::refused_data() {
    QTest::addColumn<int>("protocol");
    QTest::addColumn<QString>("why"); // password, otherKey, unknownKey
    QTest::addColumn<bool>("stores");
    for (int p : {Ftp, Ftps, Sftp, S3})
        QTest::addRow("%s, wrong password", qPrintable(protocolName(p)))
            << p << QStringLiteral("password") << false;
    for (int p : {Ftps, Sftp, S3})
        QTest::addRow("%s, another key kept", qPrintable(protocolName(p)))
            << p << QStringLiteral("otherKey") << false;
    // Someone watches: FTPS keeps an unknown key at first use; SFTP asks, and nobody answers.
    QTest::newRow("FTPS, unknown key") << int(Ftps) << QStringLiteral("unknownKey") << true;
    QTest::newRow("SFTP, unknown key") << int(Sftp) << QStringLiteral("unknownKey") << false;
    // S3 keeps a key no authority vouches for at first use, as FTPS does.
    QTest::newRow("S3, unknown key") << int(S3) << QStringLiteral("unknownKey") << true;
    // ... but only when someone watches the run: unattended, the key is refused and not kept.
    QTest::newRow("FTPS, unknown key, unattended")
        << int(Ftps) << QStringLiteral("unattendedKey") << false;
    QTest::newRow("S3, unknown key, unattended")
        << int(S3) << QStringLiteral("unattendedKey") << false;
}

// The server's folder keeps last week's file; the password never shows in a line or an error.
void TestDestination::refused() {
    QFETCH(int, protocol);
    QFETCH(QString, why);
    QFETCH(bool, stores);
    World w(protocol);
    QVERIFY2(w.start(), qPrintable(w.errorText()));
    if (why == QLatin1String("otherKey"))
        w.keepOtherKey();
    else if (why == QLatin1String("password"))
        w.trustServer();
    const QByteArray lastWeek(4321, 'w');
    w.writeRemote(lastWeek);
    const QByteArray data = SftpFixture::randomBytes(64 * 1024);
    const QString local = w.writeLocal(kName, data);
    const QString password =
        why == QLatin1String("password") ? QStringLiteral("falsch") : QStringLiteral("geheim");
    DestinationConfig config = w.config(password);
    if (why == QLatin1String("unattendedKey"))
        config.attended = false;
    auto destination = makeDestination(config);
    RecordedEvents events;
    const StoreResult result = destination->store(local, kName, events);
    QCOMPARE(result.stored, stores);
    QCOMPARE(result.keyUnconfirmed, why == QLatin1String("unattendedKey"));
    QCOMPARE(w.readRemote(), stores ? data : lastWeek);
    if (!stores) {
        QVERIFY(!result.error.isEmpty());
        QVERIFY(!result.remoteTouched);
        QCOMPARE(events.logins, 0);
    }
    QVERIFY(!result.error.contains(config.password));
    for (const QString& line : events.lines)
        QVERIFY2(!line.contains(config.password), qPrintable(line));
    if (why == QLatin1String("unknownKey") && protocol == Sftp) {
        QCOMPARE(events.questions.size(), 1);
        QVERIFY(result.hostKeyUnanswered);
        QVERIFY(w.knownHosts().isEmpty());
    }
    if (why == QLatin1String("unknownKey") && protocol == S3)
        QVERIFY2(events.lines.join(QLatin1Char('\n'))
                     .contains(QStringLiteral("des S3-Servers 127.0.0.1")),
                 qPrintable(events.lines.join(QLatin1Char('\n'))));
    if (why == QLatin1String("unattendedKey")) {
        QVERIFY2(result.error.contains(QStringLiteral("orvelsqlbackup-cli hostkey NAME --accept "
                                                      "sha256//")),
                 qPrintable(result.error));
        QVERIFY(!QFileInfo::exists(w.folder.file(QStringLiteral("ftps_known_hosts"))));
    }
    if (why == QLatin1String("unknownKey") && (protocol == Ftps || protocol == S3))
        QVERIFY(readAll(w.folder.file(QStringLiteral("ftps_known_hosts")))
                    .startsWith("127.0.0.1:" + QByteArray::number(w.port()) + " sha256//"));
}

void TestDestination::cutStore_data() {
    QTest::addColumn<int>("protocol");
    QTest::addColumn<QJsonObject>("fault");
    const QJsonObject ftpCut{{QStringLiteral("drop_data_after"), 100000},
                             {QStringLiteral("drop_data_times"), 0}};
    QTest::newRow("FTP") << int(Ftp) << ftpCut;
    QTest::newRow("FTPS") << int(Ftps) << ftpCut;
    QTest::newRow("SFTP") << int(Sftp) << QJsonObject{{QStringLiteral("drop_after_bytes"), 100000}};
    // Every connection cut: the store's own repetitions fail as well.
    QTest::newRow("S3") << int(S3) << QJsonObject{{QStringLiteral("cut_after_bytes"), 100000}};
}

// The connection breaks after some of the file went: the store fails, and what it left under
// the name goes with a removal (a store that is all-or-nothing leaves last week's file).
void TestDestination::cutStore() {
    QFETCH(int, protocol);
    QFETCH(QJsonObject, fault);
    World w(protocol);
    QVERIFY2(w.start(fault), qPrintable(w.errorText()));
    w.trustServer();
    const QByteArray lastWeek(4321, 'w');
    w.writeRemote(lastWeek);
    const QString local = w.writeLocal(kName, SftpFixture::randomBytes(2 * 1024 * 1024));
    auto destination = makeDestination(w.config());
    RecordedEvents events;
    const StoreResult result = destination->store(local, kName, events);
    QVERIFY(!result.stored);
    QVERIFY(!result.error.isEmpty());
    if (destination->properties().atomicStore) {
        QCOMPARE(w.readRemote(), lastWeek);
        return;
    }
    QVERIFY(result.remoteTouched);
    const RemoveResult removed = destination->remove(kName, events);
    QVERIFY2(removed.removed, qPrintable(removed.error));
    QVERIFY(!w.remoteExists());
}

void TestDestination::list_data() {
    QTest::addColumn<int>("protocol");
    QTest::addColumn<QJsonObject>("faults");
    QTest::newRow("FTP") << int(Ftp) << QJsonObject();
    // Names only, from NLST.
    QTest::newRow("FTP without MLSD")
        << int(Ftp) << QJsonObject{{QStringLiteral("refuse_mlsd"), true}};
    QTest::newRow("FTPS") << int(Ftps) << QJsonObject();
    QTest::newRow("SFTP") << int(Sftp) << QJsonObject();
    QTest::newRow("S3") << int(S3) << QJsonObject();
}

// The folder's files by the names store() takes, with their sizes where the server tells;
// a folder (S3: a deeper key) is left out; a prefix that ends inside a name lists the names
// that begin with it, less that beginning. An empty folder lists as empty.
void TestDestination::list() {
    QFETCH(int, protocol);
    QFETCH(QJsonObject, faults);
    World w(protocol);
    QVERIFY2(w.start(faults), qPrintable(w.errorText()));
    w.trustServer();
    auto destination = makeDestination(w.config());
    RecordedEvents events;
    const ListResult empty = destination->list(events);
    QVERIFY2(empty.listed, qPrintable(empty.error + events.lines.join(QLatin1Char('\n'))));
    QVERIFY(empty.files.isEmpty());

    w.writeRemote(QByteArray(1234, 'a'));
    w.writeRemote(QByteArray(77, 'w'), QStringLiteral("Lager-W2026-50.ZIP"));
    w.writeRemote(QByteArray(5, 'x'), QStringLiteral("Lager-Notiz äöü.txt"));
    if (protocol == S3)
        w.writeRemote("tief", QStringLiteral("Lager-alt/Lager1.ZIP"));
    else
        QVERIFY(QDir(w.home()).mkdir(QStringLiteral("Lager-alt")));

    const ListResult all = destination->list(events);
    QVERIFY2(all.listed, qPrintable(all.error));
    QMap<QString, qint64> sizes;
    for (const RemoteEntry& file : all.files)
        sizes.insert(file.name, file.size);
    const bool namesOnly = faults.contains(QStringLiteral("refuse_mlsd"));
    const qint64 unknown = -1;
    QMap<QString, qint64> expected{
        {kName, namesOnly ? unknown : 1234},
        {QStringLiteral("Lager-W2026-50.ZIP"), namesOnly ? unknown : 77},
        {QStringLiteral("Lager-Notiz äöü.txt"), namesOnly ? unknown : 5}};
    // NLST names folders as it names files.
    if (namesOnly)
        expected.insert(QStringLiteral("Lager-alt"), unknown);
    QCOMPARE(sizes, expected);
    if (!namesOnly)
        for (const RemoteEntry& file : all.files)
            QVERIFY2(qAbs(file.modified.secsTo(QDateTime::currentDateTimeUtc())) < 600,
                     qPrintable(file.name + file.modified.toString(Qt::ISODate)));

    DestinationConfig led = w.config();
    led.pathPrefix += QStringLiteral("Lager-");
    const ListResult some = makeDestination(led)->list(events);
    QVERIFY2(some.listed, qPrintable(some.error));
    QStringList names;
    for (const RemoteEntry& file : some.files)
        names << file.name;
    names.sort();
    names.removeAll(QStringLiteral("alt"));
    QCOMPARE(names, (QStringList{QStringLiteral("Notiz äöü.txt"), QStringLiteral("W2026-50.ZIP")}));
    for (const QString& line : events.lines)
        QVERIFY2(!line.contains(w.config().password), qPrintable(line));
}

// S3 copies on the server, the metadata with it, so the copy fetches as checked as the
// original; the others cannot and say so, leaving nothing under the new name.
void TestDestination::copy() {
    QFETCH(int, protocol);
    World w(protocol);
    QVERIFY2(w.start(), qPrintable(w.errorText()));
    w.trustServer();
    const QByteArray data = SftpFixture::randomBytes(300 * 1024 + 7);
    auto destination = makeDestination(w.config());
    RecordedEvents events;
    QVERIFY(destination->store(w.writeLocal(kName, data), kName, events).stored);
    const QString weekly = QStringLiteral("Lager-W2026-50.ZIP");
    const CopyResult copied = destination->copy(kName, weekly, events);
    QCOMPARE(copied.copied, destination->properties().serverCopy);
    if (!copied.copied) {
        QVERIFY(copied.unsupported);
        QCOMPARE(w.readRemote(weekly), QByteArray("<missing>"));
        return;
    }
    QVERIFY(w.readRemote(weekly) == data);
    QBuffer sink;
    QVERIFY(sink.open(QIODevice::WriteOnly));
    const FetchResult fetched = destination->fetchInto(weekly, sink, events);
    QVERIFY2(fetched.fetched, qPrintable(fetched.error));
    QCOMPARE(w.gateway.head(w.gateway.bucketName(), w.s3Prefix + weekly)
                 .value(QStringLiteral("Metadata"))
                 .toObject()
                 .value(QStringLiteral("sha256"))
                 .toString()
                 .size(),
             64);
    // A source that is not there is a failure, not something to store instead.
    const CopyResult missing = destination->copy(QStringLiteral("Lager9.ZIP"), weekly, events);
    QVERIFY(!missing.copied);
    QVERIFY(!missing.unsupported);
    QVERIFY(!missing.error.isEmpty());
}

namespace {

QStringList remoteNames(Destination& destination) {
    DestinationEvents quiet;
    const ListResult listing = destination.list(quiet);
    QStringList names;
    for (const RemoteEntry& file : listing.files)
        names << file.name;
    names.sort();
    return names;
}

// The lines of the weekly and monthly archives (not the SFTP session's own).
QStringList keepingLines(const QStringList& lines) {
    QStringList found;
    for (const QString& line : lines)
        if (line.contains(QLatin1String("archiv")) || line.contains(QLatin1String("Archiv")))
            found << line;
    return found;
}

} // namespace

// A Sunday with two weekly and one monthly archive kept: tonight's archive becomes the week's
// and, none of December being there, the month's; the oldest weekly and the older monthly go;
// another job's archives and other files stay.
void TestDestination::keepArchives() {
    QFETCH(int, protocol);
    World w(protocol);
    QVERIFY2(w.start(), qPrintable(w.errorText()));
    w.trustServer();
    const QByteArray data = SftpFixture::randomBytes(200 * 1024 + 1);
    const QString local = w.writeLocal(kName, data);
    w.writeRemote(data);
    const QStringList before{
        QStringLiteral("Lager-W2026-48.ZIP"),  QStringLiteral("Lager-W2026-49.ZIP"),
        QStringLiteral("Lager-M2026-11.ZIP"),  QStringLiteral("Lager-W2026-47.ZIP.bak"),
        QStringLiteral("Lager2-W2026-40.ZIP"), QStringLiteral("Lager-W2026-5.ZIP")};
    for (const QString& name : before)
        w.writeRemote("alt", name);

    MemoryLog log;
    ErrorCount errors;
    ArchiveKeeping keeping(log, errors);
    keeping.keep(w.config(), local, kName, QStringLiteral("Lager"), QDate(2026, 12, 13), 2, 1);

    QCOMPARE(keepingLines(log.lines),
             (QStringList{QStringLiteral("Wochenarchiv gespeichert für Datenbank: "
                                         "Lager-W2026-50.ZIP"),
                          QStringLiteral("Monatsarchiv gespeichert für Datenbank: "
                                         "Lager-M2026-12.ZIP"),
                          QStringLiteral("Altes Archiv entfernt für Datenbank: Lager-W2026-48.ZIP"),
                          QStringLiteral("Altes Archiv entfernt für Datenbank: "
                                         "Lager-M2026-11.ZIP")}));
    QCOMPARE(errors.value(), 0);
    auto destination = makeDestination(w.config());
    QStringList after{kName,
                      QStringLiteral("Lager-M2026-12.ZIP"),
                      QStringLiteral("Lager-W2026-47.ZIP.bak"),
                      QStringLiteral("Lager-W2026-49.ZIP"),
                      QStringLiteral("Lager-W2026-5.ZIP"),
                      QStringLiteral("Lager-W2026-50.ZIP"),
                      QStringLiteral("Lager2-W2026-40.ZIP")};
    after.sort();
    QCOMPARE(remoteNames(*destination), after);
    QVERIFY(w.readRemote(QStringLiteral("Lager-W2026-50.ZIP")) == data);
    QVERIFY(w.readRemote(QStringLiteral("Lager-M2026-12.ZIP")) == data);

    // The next Sunday: the month has its archive; the week's goes up and the oldest goes.
    log.lines.clear();
    keeping.keep(w.config(), local, kName, QStringLiteral("Lager"), QDate(2026, 12, 20), 2, 1);
    QCOMPARE(keepingLines(log.lines),
             (QStringList{QStringLiteral("Wochenarchiv gespeichert für Datenbank: "
                                         "Lager-W2026-51.ZIP"),
                          QStringLiteral("Altes Archiv entfernt für Datenbank: "
                                         "Lager-W2026-49.ZIP")}));
    QCOMPARE(errors.value(), 0);
}

void TestDestination::keepArchivesFailing_data() {
    QTest::addColumn<int>("protocol");
    QTest::addColumn<QJsonObject>("faults");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<int>("count");
    // The stores go through; each removal the server refuses is a line and an error.
    QTest::newRow("FTP refuses removals")
        << int(Ftp) << QJsonObject{{QStringLiteral("refuse_dele"), true}}
        << QStringLiteral("geheim")
        << QStringList{QStringLiteral("Wochenarchiv gespeichert für Datenbank: "
                                      "Lager-W2026-50.ZIP"),
                       QStringLiteral("Monatsarchiv gespeichert für Datenbank: "
                                      "Lager-M2026-12.ZIP"),
                       QStringLiteral("FEHLER: Das alte Archiv konnte nicht entfernt werden "
                                      "(550 Permission denied.) für Datenbank: "
                                      "Lager-W2026-48.ZIP")}
        << 1;
    // Nothing can be listed: the month's archive and the removals wait for a night that can;
    // the week's archive is tried and fails as well.
    for (int p : {Ftp, S3})
        QTest::addRow("%s, login refused", qPrintable(protocolName(p)))
            << p << QJsonObject() << QStringLiteral("falsch")
            << QStringList{QStringLiteral("FEHLER: Die Archive auf dem Server konnten nicht "
                                          "aufgelistet werden (*) für Datenbank: Lager3.ZIP"),
                           QStringLiteral("FEHLER: Das Wochenarchiv konnte nicht gespeichert "
                                          "werden (*) für Datenbank: Lager-W2026-50.ZIP")}
            << 2;
}

void TestDestination::keepArchivesFailing() {
    QFETCH(int, protocol);
    QFETCH(QJsonObject, faults);
    QFETCH(QString, password);
    QFETCH(QStringList, lines);
    QFETCH(int, count);
    World w(protocol);
    QVERIFY2(w.start(faults), qPrintable(w.errorText()));
    w.trustServer();
    const QString local = w.writeLocal(kName, "heute");
    w.writeRemote("heute");
    for (const QString& name :
         {QStringLiteral("Lager-W2026-48.ZIP"), QStringLiteral("Lager-W2026-49.ZIP")})
        w.writeRemote("alt", name);
    MemoryLog log;
    ErrorCount errors;
    ArchiveKeeping keeping(log, errors);
    keeping.keep(w.config(password), local, kName, QStringLiteral("Lager"), QDate(2026, 12, 13), 2,
                 1);
    const QStringList got = keepingLines(log.lines);
    QCOMPARE(got.size(), lines.size());
    // "(*)": the reason, whatever the server's words.
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QStringList around = lines[i].split(QStringLiteral("(*)"));
        const bool matches = around.size() == 2 ? got[i].startsWith(around[0] + QLatin1Char('(')) &&
                                                      got[i].endsWith(QLatin1Char(')') + around[1])
                                                : got[i] == lines[i];
        QVERIFY2(matches, qPrintable(got[i]));
    }
    QCOMPARE(errors.value(), count);
    for (const QString& line : log.lines)
        QVERIFY2(!line.contains(w.config(password).password), qPrintable(line));
    QCOMPARE(w.readRemote(QStringLiteral("Lager-W2026-48.ZIP")), QByteArray("alt"));
}

QTEST_GUILESS_MAIN(TestDestination)
#include "tst_destination.moc"
