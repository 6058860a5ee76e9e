// Which connections of the SFTP library go through the proxy and which go direct: local ones
// unless the proxy is to be used for them too, and the hosts of the exclusion list.

#include "tgputtylib/ProxyConnect.h"

#include <QtTest>

class TestProxyRoute : public QObject {
    Q_OBJECT

private slots:
    void route_data() {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("excludeList");
        QTest::addColumn<bool>("proxyLocalhost");
        QTest::addColumn<bool>("viaProxy");
        const QString none;
        QTest::newRow("other host") << "sftp.example.com" << none << false << true;
        QTest::newRow("localhost") << "LocalHost" << none << false << false;
        QTest::newRow("localhost, proxy used for it") << "localhost" << none << true << true;
        QTest::newRow("loopback address") << "127.0.0.5" << none << false << false;
        QTest::newRow("loopback address, IPv6") << "::1" << none << false << false;
        QTest::newRow("a name that only starts like one")
            << "127.example.com" << none << false << true;
        QTest::newRow("listed name, other case")
            << "Backup.Example.com"
            << "ftp.example.com, backup.example.COM" << false << false;
        QTest::newRow("blanks, tabs and empty entries")
            << "b.example"
            << ",, a.example\tb.example ," << false << false;
        QTest::newRow("name only part of an entry") << "a.example"
                                                    << "aa.example" << false << true;
        QTest::newRow("entry only part of the name") << "aa.example"
                                                     << "a.example" << false << true;
        QTest::newRow("pattern") << "ftp.example.com"
                                 << "*.example.com" << false << false;
        QTest::newRow("pattern, the domain itself") << "example.com"
                                                    << "*.example.com" << false << true;
        QTest::newRow("pattern, a longer domain") << "badexample.com"
                                                  << "*.example.com" << false << true;
        QTest::newRow("listed address") << "192.0.2.7"
                                        << "192.0.2.7" << false << false;
        QTest::newRow("local, listed, proxy used for local") << "127.0.0.1"
                                                             << "127.0.0.1" << true << false;
    }

    void route() {
        QFETCH(QString, host);
        QFETCH(QString, excludeList);
        QFETCH(bool, proxyLocalhost);
        QFETCH(bool, viaProxy);
        QCOMPARE(tgputty::usesProxy(host.toStdString(), excludeList.toStdString(), proxyLocalhost),
                 viaProxy);
    }
};

QTEST_GUILESS_MAIN(TestProxyRoute)
#include "tst_proxyroute.moc"
