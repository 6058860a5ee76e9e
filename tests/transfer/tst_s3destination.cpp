// What only the S3 destination has, against Ceph's RADOS Gateway (real S3: signatures, Content-MD5
// and multipart ETags checked), with Debian's awscli as the independent reader: the object and
// its metadata after a single and a multipart store, the server's refusals named by their codes,
// an upload that fails at its end or on its connections aborted with no part left behind, and
// a job's settings that cannot be right refused before any request.

#include "MemoryLog.h"
#include "S3TestGateway.h"
#include "ScriptServer.h"
#include "TempFolder.h"
#include "UploadUnderTest.h"
#include "WebTestServer.h"
#include "net/FtpsKnownHosts.h"
#include "net/FtpsProbe.h"
#include "platform/ErrorCount.h"
#include "transfer/s3/S3Destination.h"
#include "transfer/sftp/TTGPuttySFTP.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QtTest>

namespace {

class RecordedEvents final : public DestinationEvents {
public:
    void line(const QString& text) override { lines << text; }
    QStringList lines;
};

QByteArray randomBytes(qsizetype size) {
    QByteArray data(size, Qt::Uninitialized);
    auto* words = reinterpret_cast<quint32*>(data.data());
    QRandomGenerator::global()->fillRange(words, size / 4);
    return data;
}

// Multipart from 8 MiB on in parts of at least 5 MiB (the least S3 takes), so that a few MiB
// make several parts; a short pause before a repetition.
S3Destination::Tuning smallParts() {
    S3Destination::Tuning t;
    t.multipartAboveBytes = 8 * S3Destination::MiB;
    t.minPartBytes = 5 * S3Destination::MiB;
    t.connections = 3;
    t.retryPauseMs = 50;
    return t;
}

} // namespace

class TestS3Destination : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void partSize_data();
    void partSize();
    void storedWithMetadata_data();
    void storedWithMetadata();
    void refusedByServer_data();
    void refusedByServer();
    void failedCompleteIsAborted();
    void leftUploadIsAborted_data();
    void leftUploadIsAborted();
    void cutConnections_data();
    void cutConnections();
    void objectLock_data();
    void objectLock();
    void fetchChecksTheStoredHash_data();
    void fetchChecksTheStoredHash();
    void notAnS3Server();
    void uploadAttempt_data();
    void uploadAttempt();
    void badSettings_data();
    void badSettings();
    void unattendedFirstContact();

private:
    DestinationConfig config(const QString& prefix) {
        DestinationConfig c;
        c.protocol = DestinationConfig::S3;
        c.host = QStringLiteral("127.0.0.1");
        c.port = m_gateway.port();
        c.user = m_gateway.accessKey();
        c.password = m_gateway.secretKey();
        c.pathPrefix = m_bucket + QLatin1Char('/') + prefix;
        c.keysFolder = m_keys.path();
        c.attended = true; // someone watches: a new key is kept at first use
        return c;
    }
    QString writeLocal(const QString& name, const QByteArray& data) {
        const QString path = m_local.file(name);
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly) || f.write(data) != data.size())
            qFatal("local file not written");
        return path;
    }

    S3TestGateway m_gateway;
    QString m_bucket;
    TempFolder m_keys;
    TempFolder m_local;
};

void TestS3Destination::initTestCase() {
    QVERIFY2(m_gateway.load(), qPrintable(m_gateway.errorText()));
    m_bucket = m_gateway.bucket();
    QVERIFY(!m_bucket.isEmpty());
}

void TestS3Destination::partSize_data() {
    QTest::addColumn<qint64>("size");
    QTest::addColumn<qint64>("part");
    const qint64 MiB = S3Destination::MiB;
    QTest::newRow("65 MiB: the least part") << 65 * MiB << 16 * MiB;
    QTest::newRow("156.25 GiB: still the least") << 160000 * MiB << 16 * MiB;
    QTest::newRow("one byte more: the next MiB") << 160000 * MiB + 1 << 17 * MiB;
    QTest::newRow("1 TiB") << 1024 * 1024 * MiB << 105 * MiB;
}

// Parts of at least 16 MiB, whole MiB, and never more than 10,000 of them.
void TestS3Destination::partSize() {
    QFETCH(qint64, size);
    QFETCH(qint64, part);
    const qint64 got = S3Destination::partSize(size, 16 * S3Destination::MiB);
    QCOMPARE(got, part);
    QVERIFY((size + got - 1) / got <= S3Destination::MaxParts);
}

void TestS3Destination::storedWithMetadata_data() {
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QString>("etagEnd"); // a multipart ETag ends in "-<parts>"
    QTest::newRow("single PUT") << qint64(300 * 1024 + 7) << QString();
    QTest::newRow("multipart, 3 parts")
        << qint64(12 * S3Destination::MiB + 5) << QStringLiteral("-3\"");
}

// awscli reads back the bytes stored, the archive's SHA-256 and modification time in the
// metadata; the server's first certificate key is kept and named in a line.
void TestS3Destination::storedWithMetadata() {
    QFETCH(qint64, size);
    QFETCH(QString, etagEnd);
    const QString prefix = QStringLiteral("meta-%1/").arg(size);
    const QByteArray data = randomBytes(size);
    const QString local = writeLocal(QStringLiteral("Lager.ZIP"), data);
    S3Destination destination(config(prefix), smallParts(), &QDateTime::currentDateTimeUtc);
    RecordedEvents events;
    const StoreResult result = destination.store(local, QStringLiteral("Lager.ZIP"), events);
    QVERIFY2(result.stored, qPrintable(result.error));
    QCOMPARE(result.remoteSize, size);
    const QString key = prefix + QStringLiteral("Lager.ZIP");
    QVERIFY(m_gateway.get(m_bucket, key) == data);
    const QJsonObject head = m_gateway.head(m_bucket, key);
    const QJsonObject meta = head.value(QStringLiteral("Metadata")).toObject();
    QCOMPARE(
        meta.value(QStringLiteral("sha256")).toString(),
        QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex()));
    QCOMPARE(QDateTime::fromString(meta.value(QStringLiteral("mtime")).toString(), Qt::ISODate),
             QFileInfo(local).lastModified().toUTC().addMSecs(
                 -QFileInfo(local).lastModified().time().msec()));
    if (!etagEnd.isEmpty())
        QVERIFY2(head.value(QStringLiteral("ETag")).toString().endsWith(etagEnd),
                 qPrintable(head.value(QStringLiteral("ETag")).toString()));
    for (const QString& line : events.lines)
        QVERIFY(!line.contains(m_gateway.secretKey()));
}

void TestS3Destination::refusedByServer_data() {
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("code");
    QTest::newRow("wrong secret") << QStringLiteral("secret")
                                  << QStringLiteral("SignatureDoesNotMatch");
    QTest::newRow("unknown access key")
        << QStringLiteral("access") << QStringLiteral("InvalidAccessKeyId");
    QTest::newRow("unknown bucket") << QStringLiteral("bucket") << QStringLiteral("NoSuchBucket");
    QTest::newRow("clock 30 min ahead")
        << QStringLiteral("clock") << QStringLiteral("RequestTimeTooSkewed");
}

// One line that names the server's code (and, for the clock, how far it is off); last week's
// object stays; the secret key is in no line.
void TestS3Destination::refusedByServer() {
    QFETCH(QString, fault);
    QFETCH(QString, code);
    const QString prefix = QStringLiteral("refused-%1/").arg(fault);
    const QByteArray lastWeek(4321, 'w');
    QVERIFY(m_gateway.put(m_bucket, prefix + QStringLiteral("Lager.ZIP"), lastWeek));
    DestinationConfig c = config(prefix);
    if (fault == QLatin1String("secret"))
        c.password = QStringLiteral("NotTheSecretKey0123456789abcdefghijklmnop");
    if (fault == QLatin1String("access"))
        c.user = QStringLiteral("UNKNOWNACCESSKEY0001");
    if (fault == QLatin1String("bucket"))
        c.pathPrefix = QStringLiteral("no-such-bucket-here/") + prefix;
    const qint64 skewS = fault == QLatin1String("clock") ? 1800 : 0;
    S3Destination destination(c, smallParts(),
                              [skewS] { return QDateTime::currentDateTimeUtc().addSecs(skewS); });
    const QString local = writeLocal(QStringLiteral("Lager.ZIP"), randomBytes(64 * 1024));
    RecordedEvents events;
    const StoreResult result = destination.store(local, QStringLiteral("Lager.ZIP"), events);
    QVERIFY(!result.stored);
    QVERIFY2(result.error.contains(code), qPrintable(result.error));
    QVERIFY(!result.error.contains(QLatin1Char('\n')));
    QVERIFY(!result.error.contains(c.password));
    for (const QString& line : events.lines)
        QVERIFY(!line.contains(c.password));
    if (skewS) {
        const QRegularExpressionMatch m =
            QRegularExpression(QStringLiteral("um (-?\\d+) Sekunden")).match(result.error);
        QVERIFY2(m.hasMatch(), qPrintable(result.error));
        QVERIFY2(qAbs(m.captured(1).toInt() - skewS) <= 5, qPrintable(result.error));
    }
    QCOMPARE(m_gateway.get(m_bucket, prefix + QStringLiteral("Lager.ZIP")), lastWeek);
}

// The server refuses to complete the upload (a part's ETag is not the one it gave): the upload
// is aborted, none is left under way, and last week's object is still there.
void TestS3Destination::failedCompleteIsAborted() {
    const QString prefix = QStringLiteral("complete/");
    const QByteArray lastWeek(4321, 'w');
    QVERIFY(m_gateway.put(m_bucket, prefix + QStringLiteral("Lager.ZIP"), lastWeek));
    S3Destination::Tuning t = smallParts();
    t.beforeComplete = [](QList<QByteArray>& etags) {
        etags[1] = "\"00000000000000000000000000000000\"";
    };
    S3Destination destination(config(prefix), t, &QDateTime::currentDateTimeUtc);
    const QString local = writeLocal(QStringLiteral("Lager.ZIP"), randomBytes(11 * 1024 * 1024));
    RecordedEvents events;
    const StoreResult result = destination.store(local, QStringLiteral("Lager.ZIP"), events);
    QVERIFY(!result.stored);
    QVERIFY2(result.error.contains(QStringLiteral("InvalidPart")), qPrintable(result.error));
    QCOMPARE(m_gateway.openUploads(m_bucket), 0);
    QCOMPARE(m_gateway.get(m_bucket, prefix + QStringLiteral("Lager.ZIP")), lastWeek);
}

void TestS3Destination::leftUploadIsAborted_data() {
    QTest::addColumn<qint64>("size");
    QTest::newRow("single PUT") << qint64(64 * 1024);
    QTest::newRow("multipart") << qint64(11 * S3Destination::MiB);
}

// A store that was ended in the middle (the program killed) left its multipart upload under
// way: the next store of the object aborts it with a line; an upload of another object whose
// name merely begins the same stays.
void TestS3Destination::leftUploadIsAborted() {
    QFETCH(qint64, size);
    const QString prefix = QStringLiteral("left-%1/").arg(size);
    const QString key = prefix + QStringLiteral("Lager.ZIP");
    const QString other = key + QStringLiteral(".alt");
    QByteArray out;
    for (const QString& k : {key, other})
        QCOMPARE(m_gateway.s3api({QStringLiteral("create-multipart-upload"),
                                  QStringLiteral("--bucket"), m_bucket, QStringLiteral("--key"), k},
                                 &out),
                 0);
    const QString otherId =
        QJsonDocument::fromJson(out).object().value(QStringLiteral("UploadId")).toString();
    QCOMPARE(m_gateway.openUploads(m_bucket), 2);
    const QByteArray data = randomBytes(size);
    const QString local = writeLocal(QStringLiteral("Lager.ZIP"), data);
    S3Destination destination(config(prefix), smallParts(), &QDateTime::currentDateTimeUtc);
    RecordedEvents events;
    const StoreResult result = destination.store(local, QStringLiteral("Lager.ZIP"), events);
    const int left = m_gateway.openUploads(m_bucket);
    QCOMPARE(m_gateway.s3api({QStringLiteral("abort-multipart-upload"), QStringLiteral("--bucket"),
                              m_bucket, QStringLiteral("--key"), other,
                              QStringLiteral("--upload-id"), otherId}),
             0);
    QVERIFY2(result.stored, qPrintable(result.error));
    QCOMPARE(left, 1);
    QVERIFY(m_gateway.get(m_bucket, key) == data);
    const QStringList aborted =
        events.lines.filter(QStringLiteral("Ein nicht beendetes Hochladen von ") + m_bucket +
                            QLatin1Char('/') + key);
    QCOMPARE(aborted.size(), 1);
}

void TestS3Destination::cutConnections_data() {
    QTest::addColumn<QJsonValue>("cut"); // the relay's cut_connections; null: every one
    QTest::addColumn<bool>("stored");
    // Connection 1 asks for the bucket, 2 for uploads left under way, 3 starts the upload, 4 to
    // 6 carry the parts.
    QTest::newRow("one part cut, repeated") << QJsonValue(QJsonArray{4}) << true;
    QTest::newRow("every part cut") << QJsonValue() << false;
}

// A connection cut in the middle of a part: the part is sent again within the store; when the
// connections keep breaking the upload is aborted and last week's object stays.
void TestS3Destination::cutConnections() {
    QFETCH(QJsonValue, cut);
    QFETCH(bool, stored);
    ScriptServer relay(QStringLiteral("cut_relay.py"));
    QJsonObject scenario{{QStringLiteral("target_port"), m_gateway.port()},
                         {QStringLiteral("cut_after_bytes"), 1024 * 1024}};
    if (!cut.isNull())
        scenario[QStringLiteral("cut_connections")] = cut;
    QVERIFY2(relay.start(scenario), qPrintable(relay.errorText()));
    const QString prefix = QStringLiteral("cut-%1/").arg(stored);
    const QByteArray lastWeek(4321, 'w');
    QVERIFY(m_gateway.put(m_bucket, prefix + QStringLiteral("Lager.ZIP"), lastWeek));
    DestinationConfig c = config(prefix);
    c.port = relay.port();
    S3Destination destination(c, smallParts(), &QDateTime::currentDateTimeUtc);
    const QByteArray data = randomBytes(12 * 1024 * 1024);
    const QString local = writeLocal(QStringLiteral("Lager.ZIP"), data);
    RecordedEvents events;
    const StoreResult result = destination.store(local, QStringLiteral("Lager.ZIP"), events);
    QVERIFY2(result.stored == stored, qPrintable(result.error));
    QVERIFY(relay.readFile(QStringLiteral("connections.txt")).contains(" cut"));
    QCOMPARE(m_gateway.get(m_bucket, prefix + QStringLiteral("Lager.ZIP")),
             stored ? data : lastWeek);
    QCOMPARE(m_gateway.openUploads(m_bucket), 0);
}

void TestS3Destination::objectLock_data() {
    QTest::addColumn<bool>("lockedBucket");
    QTest::addColumn<qint64>("size");
    QTest::newRow("locked bucket, single PUT") << true << qint64(100 * 1024);
    QTest::newRow("locked bucket, multipart") << true << qint64(11 * S3Destination::MiB);
    QTest::newRow("bucket without Object Lock") << false << qint64(100 * 1024);
}

// S3ObjectLockDays: the object is under COMPLIANCE retention until now + N days, and its version
// cannot be deleted before; a bucket without Object Lock fails the store with a line saying so.
void TestS3Destination::objectLock() {
    QFETCH(bool, lockedBucket);
    QFETCH(qint64, size);
    static QString locked;
    if (lockedBucket && locked.isEmpty()) {
        const QString name = m_bucket + QStringLiteral("-lock");
        QCOMPARE(m_gateway.s3api({QStringLiteral("create-bucket"), QStringLiteral("--bucket"), name,
                                  QStringLiteral("--object-lock-enabled-for-bucket")}),
                 0);
        locked = name;
    }
    DestinationConfig c = config(QStringLiteral("lock/"));
    if (lockedBucket)
        c.pathPrefix = locked + QStringLiteral("/lock-%1/").arg(size);
    c.objectLockDays = 2;
    S3Destination destination(c, smallParts(), &QDateTime::currentDateTimeUtc);
    const QString local = writeLocal(QStringLiteral("Lager.ZIP"), randomBytes(size));
    RecordedEvents events;
    const StoreResult result = destination.store(local, QStringLiteral("Lager.ZIP"), events);
    if (!lockedBucket) {
        QVERIFY(!result.stored);
        QVERIFY2(result.error.contains(QStringLiteral("keine Object Lock")),
                 qPrintable(result.error));
        return;
    }
    QVERIFY2(result.stored, qPrintable(result.error));
    const QString key = QStringLiteral("lock-%1/Lager.ZIP").arg(size);
    const QJsonObject head = m_gateway.head(locked, key);
    QCOMPARE(head.value(QStringLiteral("ObjectLockMode")).toString(), QStringLiteral("COMPLIANCE"));
    const QDateTime until = QDateTime::fromString(
        head.value(QStringLiteral("ObjectLockRetainUntilDate")).toString(), Qt::ISODate);
    QVERIFY2(qAbs(until.secsTo(QDateTime::currentDateTimeUtc().addDays(2))) < 600,
             qPrintable(until.toString(Qt::ISODate)));
    const QString version = head.value(QStringLiteral("VersionId")).toString();
    QVERIFY(!version.isEmpty());
    QVERIFY(m_gateway.s3api({QStringLiteral("delete-object"), QStringLiteral("--bucket"), locked,
                             QStringLiteral("--key"), key, QStringLiteral("--version-id"),
                             version}) != 0);
    QVERIFY(!m_gateway.head(locked, key).isEmpty());
}

void TestS3Destination::fetchChecksTheStoredHash_data() {
    QTest::addColumn<QString>("sha256"); // the metadata awscli stores with the object
    QTest::addColumn<bool>("fetched");
    QTest::newRow("its own hash") << QStringLiteral("own") << true;
    QTest::newRow("no hash (another tool's object)") << QString() << true;
    QTest::newRow("another hash") << QString(64, QLatin1Char('0')) << false;
}

// A fetch is whole only with the SHA-256 the object was stored with; a mismatch leaves the local
// file as it was.
void TestS3Destination::fetchChecksTheStoredHash() {
    QFETCH(QString, sha256);
    QFETCH(bool, fetched);
    const QByteArray data = randomBytes(70 * 1024);
    const QString key = QStringLiteral("hash-%1/Lager.ZIP")
                            .arg(QTest::currentDataTag())
                            .replace(QLatin1Char(' '), QLatin1Char('-'));
    const QString hash =
        sha256 == QLatin1String("own")
            ? QString::fromLatin1(
                  QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex())
            : sha256;
    const QString body = writeLocal(QStringLiteral("body"), data);
    QStringList put{QStringLiteral("put-object"),
                    QStringLiteral("--bucket"),
                    m_bucket,
                    QStringLiteral("--key"),
                    key,
                    QStringLiteral("--body"),
                    body};
    if (!hash.isEmpty())
        put << QStringLiteral("--metadata") << QStringLiteral("sha256=") + hash;
    QCOMPARE(m_gateway.s3api(put), 0);
    DestinationConfig c = config(QString());
    c.pathPrefix = m_bucket + QLatin1Char('/');
    S3Destination destination(c);
    const QString local = writeLocal(QStringLiteral("back.ZIP"), "old");
    RecordedEvents events;
    const FetchResult result = destination.fetch(key, local, events);
    QVERIFY2(result.fetched == fetched, qPrintable(result.error));
    QFile back(local);
    QVERIFY(back.open(QIODevice::ReadOnly));
    QVERIFY(back.readAll() == (fetched ? data : QByteArray("old")));
    if (!fetched)
        QVERIFY2(result.error.contains(QStringLiteral("SHA-256")), qPrintable(result.error));
}

// An HTTPS server that is not S3 (it would even take the PUT): one line saying so, nothing stored
// there.
void TestS3Destination::notAnS3Server() {
    WebTestServer web;
    QVERIFY2(web.start(), qPrintable(web.errorText()));
    DestinationConfig c = config(QStringLiteral("x/"));
    c.port = web.port();
    S3Destination destination(c);
    const QString local = writeLocal(QStringLiteral("Lager.ZIP"), randomBytes(1000));
    RecordedEvents events;
    const StoreResult result = destination.store(local, QStringLiteral("Lager.ZIP"), events);
    QVERIFY(!result.stored);
    QVERIFY2(result.error.contains(QStringLiteral("nicht wie ein S3-Server")),
             qPrintable(result.error));
    QVERIFY(!QFile::exists(
        web.folderPath(QLatin1Char('/') + m_bucket + QStringLiteral("/x/Lager.ZIP"))));
    for (const QString& line : events.lines)
        QVERIFY(!line.contains(c.password));
}

void TestS3Destination::uploadAttempt_data() {
    QTest::addColumn<bool>("rightSecret");
    QTest::newRow("stored") << true;
    QTest::newRow("wrong secret") << false;
}

// A job with FTP_SSL 3 through the upload attempt: the FTP lines, the server's refusal as one line
// of its own before the failure line, nothing counted by the attempt itself.
void TestS3Destination::uploadAttempt() {
    QFETCH(bool, rightSecret);
    TempFolder program;
    TTGPuttySFTP::setLibraryFolder(program.path()); // where ftps_known_hosts lies
    const QString name = QStringLiteral("Lager3.ZIP");
    const QByteArray data = randomBytes(200 * 1024);
    const QString local = writeLocal(name, data);
    BackupJob job;
    job.DBName = QStringLiteral("Lager");
    job.FTP_aktiv = true;
    job.FTP_SSL = 3;
    job.FTP_SERVER = QStringLiteral("127.0.0.1");
    job.FTP_Port = m_gateway.port();
    job.FTP_Benutzer = m_gateway.accessKey();
    job.FTP_Passwort = rightSecret ? m_gateway.secretKey()
                                   : QStringLiteral("NotTheSecretKey0123456789abcdefghijklmnop");
    const QString prefix = QStringLiteral("upload-%1/").arg(rightSecret);
    job.FTP_Pfad = m_bucket + QLatin1Char('/') + prefix;
    MemoryLog log;
    ErrorCount errors;
    UploadUnderTest upload{log, errors};
    QCOMPARE(upload.ftphochladen(job, local, name), rightSecret);
    QCOMPARE(errors.value(), 0);
    QVERIFY2(log.lines.size() >= 2, qPrintable(log.lines.join(QLatin1Char('\n'))));
    // The first contact keeps the gateway's key.
    QVERIFY(log.lines.first().startsWith(
        QStringLiteral("Das Zertifikat des S3-Servers 127.0.0.1:%1").arg(m_gateway.port())));
    if (rightSecret) {
        QCOMPARE(
            log.lines.mid(1),
            (QStringList{QStringLiteral("FTP-Prozess mit Server verbunden für Datenbank: ") + name,
                         QStringLiteral("FTP-Prozess erfolgreich für Datenbank: ") + name}));
        QVERIFY(m_gateway.get(m_bucket, prefix + name) == data);
    } else {
        QCOMPARE(log.lines.size(), 3);
        QVERIFY2(log.lines[1].contains(QStringLiteral("SignatureDoesNotMatch")),
                 qPrintable(log.lines[1]));
        QCOMPARE(log.lines[2], QStringLiteral("FEHLER bei FTP-Prozess für Datenbank: ") + name);
    }
    for (const QString& line : log.lines)
        QVERIFY(!line.contains(job.FTP_Passwort));
}

void TestS3Destination::badSettings_data() {
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("line"); // what the error says
    QTest::newRow("path without a bucket") << "path"
                                           << ""
                                           << "nennt keinen Bucket";
    QTest::newRow("path starting with a slash") << "path"
                                                << "/backup/"
                                                << "nennt keinen Bucket";
    QTest::newRow("bucket with a space") << "path"
                                         << "my bucket/x/"
                                         << "Bucketname";
    QTest::newRow("bucket in capitals") << "path"
                                        << "Backup/x/"
                                        << "Bucketname";
    QTest::newRow("region not the host's") << "region"
                                           << "us-east-1"
                                           << "passt nicht";
    QTest::newRow("access key too short") << "user"
                                          << "AKIA123"
                                          << "Zugangskennung";
    QTest::newRow("secret key too short") << "password"
                                          << "kurz-und-geheim"
                                          << "geheime";
    QTest::newRow("endpoint with a path") << "host"
                                          << "s3.firma.lan/x"
                                          << "kein Hostname";
}

// Settings that cannot be right: one line naming what is wrong, before any request (the
// endpoint could not answer one), and never the secret key.
void TestS3Destination::badSettings() {
    QFETCH(QString, field);
    QFETCH(QString, value);
    QFETCH(QString, line);
    DestinationConfig c = config(QStringLiteral("bad/"));
    c.host = QStringLiteral("s3.eu-central-1.amazonaws.com");
    c.port = 1; // nothing listens: a request would fail otherwise
    c.pathPrefix = QStringLiteral("backup/x/");
    if (field == QLatin1String("path"))
        c.pathPrefix = value;
    if (field == QLatin1String("region"))
        c.region = value;
    if (field == QLatin1String("user"))
        c.user = value;
    if (field == QLatin1String("password"))
        c.password = value;
    if (field == QLatin1String("host"))
        c.host = value;
    S3Destination destination(c);
    const QString local = writeLocal(QStringLiteral("Lager.ZIP"), "data");
    RecordedEvents events;
    const StoreResult result = destination.store(local, QStringLiteral("Lager.ZIP"), events);
    QVERIFY(!result.stored);
    QVERIFY2(result.error.contains(line), qPrintable(result.error));
    QVERIFY(!result.error.contains(c.password));
    QVERIFY(events.lines.isEmpty());
    QFile kept(m_keys.file(QStringLiteral("ftps_known_hosts")));
    QVERIFY(!kept.open(QIODevice::ReadOnly) || !kept.readAll().contains("amazonaws"));
    const StatResult stat = destination.stat(QStringLiteral("Lager.ZIP"), events);
    QVERIFY2(stat.error.contains(line), qPrintable(stat.error));
}

// Nobody watches: the gateway's key (no authority vouches for it) is refused at first contact
// before any request, nothing is kept, and the line names the command that accepts the key the
// handshake alone shows (what the hostkey command keeps). Kept so, the store passes unattended.
void TestS3Destination::unattendedFirstContact() {
    TempFolder keys;
    DestinationConfig c = config(QStringLiteral("unattended/"));
    c.keysFolder = keys.path();
    c.attended = false;
    c.jobName = QStringLiteral("Lager");
    const QString local = writeLocal(QStringLiteral("Lager.ZIP"), "data");
    const FtpsServerKey shown = probeTlsServer(QStringLiteral("127.0.0.1"), m_gateway.port());
    QVERIFY2(shown.error.isEmpty(), qPrintable(shown.error));
    QVERIFY(!shown.authorityVouches);
    {
        S3Destination destination(c);
        RecordedEvents events;
        const StoreResult result = destination.store(local, QStringLiteral("Lager.ZIP"), events);
        QVERIFY(!result.stored);
        QVERIFY(result.keyUnconfirmed);
        QVERIFY2(result.error.contains(QStringLiteral("Das Zertifikat des S3-Servers 127.0.0.1:%1")
                                           .arg(m_gateway.port())) &&
                     result.error.contains(QStringLiteral("orvelsqlbackup-cli hostkey Lager "
                                                          "--accept ") +
                                           QString::fromLatin1(shown.pin)),
                 qPrintable(result.error));
        QVERIFY(!QFileInfo::exists(keys.file(QStringLiteral("ftps_known_hosts"))));
    }
    RecordedEvents events;
    QVERIFY(!S3Destination(config(QStringLiteral("unattended/")))
                 .stat(QStringLiteral("Lager.ZIP"), events)
                 .file.exists);

    FtpsKnownHosts(keys.path()).store(
        FtpsKnownHosts::entryName(QStringLiteral("127.0.0.1"), m_gateway.port()), shown.pin,
        QDate::currentDate());
    S3Destination destination(c);
    const StoreResult result = destination.store(local, QStringLiteral("Lager.ZIP"), events);
    QVERIFY2(result.stored, qPrintable(result.error));
}

QTEST_GUILESS_MAIN(TestS3Destination)
#include "tst_s3destination.moc"
