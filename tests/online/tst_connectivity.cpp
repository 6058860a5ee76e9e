// The connectivity probe against the HTTPS test server: the cutting of the public address out of
// the echo page, the refusal of servers that cannot be trusted, and the start preparation's
// lines and gating by the internet setting.
#include "ClosedPort.h"
#include "OnlineProgram.h"
#include "WebTestServer.h"
#include "online/ConnectivityCheck.h"

#include <QTest>

class TestConnectivity : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void probeCutsTheAddressOutOfTheEchoPage_data() {
        QTest::addColumn<QString>("page");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("address");
        QTest::newRow("IP then ADR") << QStringLiteral("<p>Ihre IP-ADRESSE: 203.0.113.7</p>") << 200
                                     << QStringLiteral("ESSE: 203.0.113.7");
        QTest::newRow("markers back to back")
            << QStringLiteral("IPADR198.51.100.2</b>") << 200 << QStringLiteral("198.51.100.2");
        QTest::newRow("blanks and punctuation kept")
            << QStringLiteral("IP ADR  ; 1.2.3.4 ,</x>") << 200 << QStringLiteral("  ; 1.2.3.4 ,");
        QTest::newRow("ADR only before IP")
            << QStringLiteral("ADR 1.2.3.4 IP 5.6.7.8</p>") << 200 << QString();
        QTest::newRow("no end marker") << QStringLiteral("IP ADR 1.2.3.4") << 200 << QString();
        QTest::newRow("nothing between ADR and </")
            << QStringLiteral("IP ADR</p>") << 200 << QString();
        QTest::newRow("error page with markers")
            << QStringLiteral("IP ADR 1.2.3.4</p>") << 404 << QString();
    }
    void probeCutsTheAddressOutOfTheEchoPage() {
        QFETCH(QString, page);
        QFETCH(int, status);
        QFETCH(QString, address);
        WebTestServer server;
        QVERIFY2(server.start(WebTestServer::route(QStringLiteral("/myip.php"), page, status)),
                 qPrintable(server.errorText()));
        ConnectivityCheck probe([&server] { return WebServer{server.base(), server.caFile()}; });
        QCOMPARE(probe.checkinternetconnection(), !address.isEmpty());
        QCOMPARE(probe.publicAddress(), address);
        const auto requests = server.requests();
        QCOMPARE(requests.size(), 1);
        QCOMPARE(requests[0].path, QStringLiteral("/myip.php"));
        QCOMPARE(requests[0].userAgent, QStringLiteral("WebData"));
    }

    // Whatever goes wrong, the probe ends with an empty address and does not throw; an earlier
    // address does not survive a failed probe.
    void probeFailsToAnEmptyAddress_data() {
        QTest::addColumn<QString>("kind");
        QTest::newRow("server down") << QStringLiteral("down");
        QTest::newRow("certificate of an unknown authority") << QStringLiteral("untrusted");
        QTest::newRow("authority not given") << QStringLiteral("nocafile");
        QTest::newRow("plain http") << QStringLiteral("http");
        QTest::newRow("CA file missing") << QStringLiteral("missingca");
    }
    void probeFailsToAnEmptyAddress() {
        QFETCH(QString, kind);
        const QJsonObject scenario =
            WebTestServer::route(QStringLiteral("/myip.php"), QStringLiteral("IP ADR 1.2.3.4</"));
        WebTestServer server;
        QVERIFY2(server.start(scenario), qPrintable(server.errorText()));
        WebServer target{server.base(), server.caFile()};
        ConnectivityCheck probe([&target] { return target; });
        QVERIFY(probe.checkinternetconnection());
        QCOMPARE(probe.publicAddress(), QStringLiteral(" 1.2.3.4"));

        WebTestServer untrusted;
        if (kind == QLatin1String("down")) {
            target.base = QStringLiteral("https://127.0.0.1:%1").arg(closedPort());
        } else if (kind == QLatin1String("untrusted")) {
            QJsonObject s = scenario;
            s.insert(QStringLiteral("untrusted_certificate"), true);
            QVERIFY2(untrusted.start(s), qPrintable(untrusted.errorText()));
            target = WebServer{untrusted.base(), untrusted.caFile()};
        } else if (kind == QLatin1String("nocafile")) {
            target.caFile.clear();
        } else if (kind == QLatin1String("http")) {
            target.base.replace(QStringLiteral("https:"), QStringLiteral("http:"));
        } else if (kind == QLatin1String("missingca")) {
            target.caFile += QStringLiteral(".gone");
        }
        QVERIFY(!probe.checkinternetconnection());
        QCOMPARE(probe.publicAddress(), QString());
        // The server that cannot be trusted never sees the request.
        QCOMPARE(server.requests().size(), 1);
        QCOMPARE(untrusted.paths(), QStringList());
    }

    void startPreparationLogsTheProbe_data() {
        QTest::addColumn<QString>("page");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("found") << QStringLiteral("<p>IPADR203.0.113.7</p>")
                               << QStringList{QStringLiteral("Prüfe Internetverbindung"),
                                              QStringLiteral("Internetverbindung verfügbar"),
                                              QStringLiteral("IP-Adresse: 203.0.113.7")};
        QTest::newRow("not found")
            << QStringLiteral("no address here")
            << QStringList{QStringLiteral("Prüfe Internetverbindung"),
                           QStringLiteral("keine Internetverbindung gefunden")};
    }
    void startPreparationLogsTheProbe() {
        QFETCH(QString, page);
        QFETCH(QStringList, expected);
        WebTestServer server;
        QVERIFY2(server.start(WebTestServer::route(QStringLiteral("/myip.php"), page)),
                 qPrintable(server.errorText()));
        OnlineProgram p(server, 0);
        p.createAndShow();
        p.prepare();
        const QStringList l = p.lines();
        const qsizetype at = l.indexOf(expected.first());
        QVERIFY2(at >= 0, qPrintable(l.join(QLatin1Char('\n'))));
        QCOMPARE(l.mid(at, expected.size()), expected);
        QVERIFY(server.paths().contains(QStringLiteral("/myip.php")));
    }

    // Internet setting 1: neither the support files, nor the probe, nor the update button, nor
    // the automatic check make a request.
    void internetSettingOneMakesNoRequest() {
        WebTestServer server;
        QVERIFY2(server.start(WebTestServer::route(QStringLiteral("/myip.php"),
                                                   QStringLiteral("IP ADR 1.2.3.4</"))),
                 qPrintable(server.errorText()));
        OnlineProgram p(server, 1);
        p.createAndShow();
        p.prepare();
        p.core().checkForUpdate();
        p.timers.created.at(1)->fire();
        const QStringList l = p.lines();
        QVERIFY2(l.contains(QStringLiteral("Prüfung Internetverbindung unterdrückt")),
                 qPrintable(l.join(QLatin1Char('\n'))));
        QVERIFY(l.contains(QStringLiteral("Kein Zugriff auf das Internet möglich")));
        QCOMPARE(p.core().publicAddress(), QString());
        QCOMPARE(server.paths(), QStringList());
        QVERIFY(!QFileInfo::exists(p.folder.file(QStringLiteral("libtgputtylib.so"))));
    }
};

QTEST_GUILESS_MAIN(TestConnectivity)
#include "tst_connectivity.moc"
