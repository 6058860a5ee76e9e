// A page of a ListObjectsV2 answer as the S3 destination reads it: the objects under the prefix
// named without it, where the next page begins, and a body that is no listing.

#include "transfer/s3/S3ListPage.h"

#include <QtTest>

class TestS3ListPage : public QObject {
    Q_OBJECT

private slots:
    void pages_data();
    void pages();
};

void TestS3ListPage::pages_data() {
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<bool>("truncated");
    QTest::addColumn<QString>("nextToken");
    QTest::addColumn<bool>("error");

    const QByteArray head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><ListBucketResult "
                            "xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\"><Name>b</Name>"
                            "<Prefix>nacht/</Prefix>";
    QTest::newRow("last page") << head + "<IsTruncated>false</IsTruncated>"
                                         "<Contents><Key>nacht/Lager-W2026-50.ZIP</Key>"
                                         "<LastModified>2026-12-13T02:10:00.000Z</LastModified>"
                                         "<Size>1234</Size></Contents>"
                                         "<Contents><Key>nacht/Lager&amp;Co7.ZIP</Key>"
                                         "<Size>5</Size></Contents>"
                                         "<CommonPrefixes><Prefix>nacht/alt/</Prefix>"
                                         "</CommonPrefixes></ListBucketResult>"
                               << QStringList{QStringLiteral("Lager-W2026-50.ZIP"),
                                              QStringLiteral("Lager&Co7.ZIP")}
                               << false << QString() << false;
    QTest::newRow("more to come") << head + "<IsTruncated>true</IsTruncated>"
                                            "<NextContinuationToken>1/abc+=</NextContinuationToken>"
                                            "<Contents><Key>nacht/Lager1.ZIP</Key><Size>1</Size>"
                                            "</Contents></ListBucketResult>"
                                  << QStringList{QStringLiteral("Lager1.ZIP")} << true
                                  << QStringLiteral("1/abc+=") << false;
    QTest::newRow("truncated without a token")
        << head + "<IsTruncated>true</IsTruncated></ListBucketResult>" << QStringList() << true
        << QString() << true;
    QTest::newRow("an error document") << QByteArray("<Error><Code>AccessDenied</Code></Error>")
                                       << QStringList() << false << QString() << true;
    QTest::newRow("not XML") << QByteArray("<html>hallo") << QStringList() << false << QString()
                             << true;
}

void TestS3ListPage::pages() {
    QFETCH(QByteArray, body);
    QFETCH(QStringList, names);
    QFETCH(bool, truncated);
    QFETCH(QString, nextToken);
    QFETCH(bool, error);
    const S3ListPage page = S3ListPage::parse(body, QStringLiteral("nacht/"));
    QStringList got;
    for (const RemoteEntry& file : page.files)
        got << file.name;
    QCOMPARE(got, names);
    QCOMPARE(page.truncated, truncated);
    QCOMPARE(page.nextToken, nextToken);
    QCOMPARE(!page.error.isEmpty(), error);
    if (QTest::currentDataTag() == QLatin1String("last page")) {
        QCOMPARE(page.files[0].size, 1234);
        QCOMPARE(page.files[0].modified,
                 QDateTime(QDate(2026, 12, 13), QTime(2, 10), QTimeZone::utc()));
    }
}

QTEST_GUILESS_MAIN(TestS3ListPage)
#include "tst_s3listpage.moc"
