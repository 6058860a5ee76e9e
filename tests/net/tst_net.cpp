// The network rules every HTTPS request keeps, against the HTTPS test server on 127.0.0.1: the
// server's certificate and name verified (with an extra authority when one is given), a body
// kept in memory capped, a redirect answered rather than followed when the caller says so, the
// proxy environment ignored, and the methods an object store is spoken to with.
#include "ClosedPort.h"
#include "WebTestServer.h"
#include "net/HttpsClient.h"

#include <QBuffer>
#include <QFile>
#include <QTemporaryFile>
#include <QTest>

#include <cstdlib>

namespace {

QByteArray fileBytes(qint64 size) {
    QByteArray data(size, Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i)
        data[i] = char(i * 131 + i / 251);
    return data;
}

} // namespace

class NetTest : public QObject {
    Q_OBJECT

private slots:
    // What one GET of /file makes of the server's certificate, its answer and the call's rules.
    void getKeepsTheRules_data() {
        QTest::addColumn<QJsonObject>("scenario");
        QTest::addColumn<bool>("withAuthority"); // the test authority given as the extra CA file
        QTest::addColumn<qint64>("size");        // of /file
        QTest::addColumn<int>("maxRedirects");
        QTest::addColumn<QString>("error"); // empty: the whole file arrives

        const QJsonObject plain;
        QTest::newRow("extra authority trusted") << plain << true << qint64(1000) << 5 << QString();
        QTest::newRow("authority not given")
            << plain << false << qint64(1000) << 5
            << QStringLiteral("Das Zertifikat des Servers wird nicht anerkannt");
        QTest::newRow("certificate for another name")
            << QJsonObject{{QStringLiteral("certificate_name"), QStringLiteral("backup.example")}}
            << true << qint64(1000) << 5
            << QStringLiteral("Das Zertifikat des Servers wird nicht anerkannt");
        QTest::newRow("body in memory at the cap")
            << plain << true << kMaxMemoryBody << 5 << QString();
        QTest::newRow("body in memory over the cap")
            << plain << true << kMaxMemoryBody + 1 << 5
            << QStringLiteral("größer als erwartet (höchstens %1 Bytes)").arg(kMaxMemoryBody);
        QTest::newRow("redirect not followed when none may be")
            << QJsonObject{{QStringLiteral("routes"),
                            QJsonObject{{QStringLiteral("/file"),
                                         QJsonObject{{QStringLiteral("status"), 307},
                                                     {QStringLiteral("location"),
                                                      QStringLiteral("/elsewhere")}}}}}}
            << true << qint64(10) << 0 << QStringLiteral("mit HTTP-Status 307");
    }
    void getKeepsTheRules() {
        QFETCH(QJsonObject, scenario);
        QFETCH(bool, withAuthority);
        QFETCH(qint64, size);
        QFETCH(int, maxRedirects);
        QFETCH(QString, error);
        WebTestServer web;
        QVERIFY2(web.start(scenario), qPrintable(web.errorText()));
        const QByteArray content = fileBytes(size);
        QVERIFY(web.put(QStringLiteral("/file"), content));

        HttpsCall call;
        call.url = web.base() + QStringLiteral("/file");
        call.caFile = withAuthority ? web.caFile() : QString();
        call.maxRedirects = maxRedirects;
        const HttpsReply reply = httpsCall(call);
        if (error.isEmpty()) {
            QVERIFY2(reply.ok, qPrintable(reply.error));
            QCOMPARE(reply.body, content);
        } else {
            QVERIFY(!reply.ok);
            QVERIFY2(reply.error.contains(error), qPrintable(reply.error));
            QVERIFY(reply.body.isEmpty());
        }
        // A refused certificate ends the handshake before the request is sent.
        if (error.contains(QStringLiteral("Zertifikat")))
            QCOMPARE(web.paths(), QStringList());
        QVERIFY(!web.paths().contains(QStringLiteral("/elsewhere")));
    }

    // Proxies named in the environment are never used: every variable points at a port nothing
    // listens on, and the request still goes straight to the server.
    void proxyEnvironmentIsIgnored() {
        WebTestServer web;
        QVERIFY2(web.start(), qPrintable(web.errorText()));
        QVERIFY(web.put(QStringLiteral("/file"), "straight"));
        const QByteArray dead = QByteArray("http://127.0.0.1:") + QByteArray::number(closedPort());
        const char* names[] = {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy",
                               "ALL_PROXY"};
        for (const char* name : names)
            qputenv(name, dead);
        HttpsCall call;
        call.url = web.base() + QStringLiteral("/file");
        call.caFile = web.caFile();
        const HttpsReply reply = httpsCall(call);
        for (const char* name : names)
            qunsetenv(name);
        QVERIFY2(reply.ok, qPrintable(reply.error));
        QCOMPARE(reply.body, QByteArray("straight"));
    }

    // An object is stored from a file, asked about, read back and removed, with the statuses an
    // object store answers; a refusal keeps its error document.
    void putHeadGetDelete() {
        WebTestServer web;
        QJsonObject scenario{
            {QStringLiteral("routes"),
             QJsonObject{{QStringLiteral("/denied"),
                          QJsonObject{{QStringLiteral("status"), 403},
                                      {QStringLiteral("body"),
                                       QStringLiteral("<Error>AccessDenied</Error>")}}}}}};
        QVERIFY2(web.start(scenario), qPrintable(web.errorText()));
        const QByteArray content = fileBytes(300000);
        QTemporaryFile source;
        QVERIFY(source.open());
        QCOMPARE(source.write(content), qint64(content.size()));
        QVERIFY(source.seek(0));

        const auto call = [&web](const QByteArray& method, const QString& path) {
            HttpsCall c;
            c.method = method;
            c.url = web.base() + path;
            c.caFile = web.caFile();
            return c;
        };
        HttpsCall put = call("PUT", QStringLiteral("/bucket/a.zip"));
        put.body = &source;
        put.bodySize = content.size();
        put.headers = {"x-amz-content-sha256: UNSIGNED-PAYLOAD"};
        qint64 lastSent = 0;
        put.progress = [&lastSent](qint64 done, qint64) {
            lastSent = done;
            return true;
        };
        HttpsReply reply = httpsCall(put);
        QVERIFY2(reply.ok, qPrintable(reply.error));
        QCOMPARE(lastSent, qint64(content.size()));

        reply = httpsCall(call("HEAD", QStringLiteral("/bucket/a.zip")));
        QVERIFY2(reply.ok, qPrintable(reply.error));
        QCOMPARE(reply.header("content-length"), QByteArray::number(content.size()));
        QVERIFY(reply.body.isEmpty());

        QBuffer sink;
        sink.open(QIODevice::WriteOnly);
        HttpsCall get = call("GET", QStringLiteral("/bucket/a.zip"));
        get.sink = &sink;
        reply = httpsCall(get);
        QVERIFY2(reply.ok, qPrintable(reply.error));
        QCOMPARE(sink.data(), content);

        HttpsCall remove = call("DELETE", QStringLiteral("/bucket/a.zip"));
        remove.accepted = {204};
        reply = httpsCall(remove);
        QVERIFY2(reply.ok, qPrintable(reply.error));
        QVERIFY(!QFile::exists(web.folderPath(QStringLiteral("/bucket/a.zip"))));
        reply = httpsCall(remove);
        QVERIFY(!reply.ok);
        QCOMPARE(reply.status, 404L);

        reply = httpsCall(call("GET", QStringLiteral("/denied")));
        QVERIFY(!reply.ok);
        QCOMPARE(reply.status, 403L);
        QCOMPARE(reply.refusalBody, QByteArray("<Error>AccessDenied</Error>"));
        QVERIFY(reply.body.isEmpty());

        QStringList methods;
        for (const WebTestServer::Request& r : web.requests())
            methods << r.method;
        QCOMPARE(methods, (QStringList{QStringLiteral("PUT"), QStringLiteral("HEAD"),
                                       QStringLiteral("GET"), QStringLiteral("DELETE"),
                                       QStringLiteral("DELETE"), QStringLiteral("GET")}));
    }

    // A body that ends before the size it was announced with fails the PUT, and the server's
    // file is not claimed as stored.
    void putOfAShortSourceFails() {
        WebTestServer web;
        QVERIFY2(web.start(), qPrintable(web.errorText()));
        QBuffer source;
        source.setData(fileBytes(1000));
        source.open(QIODevice::ReadOnly);
        HttpsCall put;
        put.method = "PUT";
        put.url = web.base() + QStringLiteral("/bucket/short.zip");
        put.caFile = web.caFile();
        put.body = &source;
        put.bodySize = 5000;
        put.totalTimeoutS = 20;
        const HttpsReply reply = httpsCall(put);
        QVERIFY(!reply.ok);
        QVERIFY2(reply.error.startsWith(QStringLiteral("Die Datei kann nicht gelesen werden")),
                 qPrintable(reply.error));
    }
};

QTEST_GUILESS_MAIN(NetTest)
#include "tst_net.moc"
