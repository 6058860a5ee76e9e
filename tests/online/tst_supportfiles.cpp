// The support files against the HTTPS test server: which files are fetched by their dates, and
// that an error page or a cut transfer never replaces the file that is there; the gate of the
// window's first showing by the internet setting and the system's connection report.
#include "OnlineProgram.h"
#include "RecordingDownloadView.h"
#include "TempFolder.h"
#include "WebTestServer.h"
#include "online/SupportFileDownload.h"

#include <QDir>
#include <QTest>

namespace {
const QString kName = QStringLiteral("libtgputtylib.so");
const QString kPath = QStringLiteral("/secure/OrvelSQLBackup/libtgputtylib.so");
const QByteArray kServed = QByteArray("library from the server ").repeated(5000);
const QByteArray kLocal = "library in the program folder";

bool writeFile(const QString& path, const QByteArray& content, const QDateTime& written) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(content) != content.size() || !f.flush())
        return false;
    return f.setFileTime(written, QFileDevice::FileModificationTime);
}

QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

// Runs the support-file check of `folder` against the test server; what the view was told.
RecordingDownloadView checkFiles(WebTestServer& web, const TempFolder& folder) {
    SupportFileDownload support(
        [&web] {
            return WebServer{web.base(), web.caFile()};
        },
        folder.path());
    RecordingDownloadView view;
    support.setDownloadView(&view);
    support.Berichtsvorlagencheck();
    return view;
}
} // namespace

class TestSupportFiles : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void filesAreFetchedByTheirDates_data() {
        QTest::addColumn<QDateTime>("written"); // invalid: no file
        QTest::addColumn<bool>("fetched");
        const QDate reference(2023, 9, 15);
        QTest::newRow("missing") << QDateTime() << true;
        QTest::newRow("the day before") << QDateTime(reference.addDays(-1), QTime(12, 0)) << true;
        QTest::newRow("last second before")
            << QDateTime(reference.addDays(-1), QTime(23, 59, 59)) << true;
        QTest::newRow("at midnight") << QDateTime(reference, QTime(0, 0)) << false;
        QTest::newRow("late that day") << QDateTime(reference, QTime(23, 59, 59)) << false;
        QTest::newRow("years later") << QDateTime(QDate(2026, 1, 2), QTime(8, 0)) << false;
    }
    void filesAreFetchedByTheirDates() {
        QFETCH(QDateTime, written);
        QFETCH(bool, fetched);
        WebTestServer web;
        QVERIFY2(web.start(), qPrintable(web.errorText()));
        QVERIFY(web.put(kPath, kServed));
        TempFolder folder;
        if (written.isValid())
            QVERIFY(writeFile(folder.file(kName), kLocal, written));
        const RecordingDownloadView view = checkFiles(web, folder);

        if (fetched) {
            const auto requests = web.requests();
            QCOMPARE(requests.size(), 1);
            QCOMPARE(requests[0].path, kPath);
            QCOMPARE(requests[0].userAgent, QStringLiteral("WebCopy"));
            QCOMPARE(readAll(folder.file(kName)), kServed);
            QCOMPARE(view.ended, QList<bool>{true});
        } else {
            QCOMPARE(web.paths(), QStringList());
            QCOMPARE(readAll(folder.file(kName)), kLocal);
            QCOMPARE(view.started, QStringList());
        }
        QCOMPARE(QDir(folder.path()).entryList({QStringLiteral("*.part")}, QDir::Files),
                 QStringList());
    }

    void failedDownloadLeavesTheFileAsItWas_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("present");
        QTest::newRow("error page, outdated file") << QStringLiteral("404") << true;
        QTest::newRow("error page, no file") << QStringLiteral("404") << false;
        QTest::newRow("cut transfer") << QStringLiteral("cut") << true;
        QTest::newRow("untrusted certificate") << QStringLiteral("untrusted") << true;
    }
    void failedDownloadLeavesTheFileAsItWas() {
        QFETCH(QString, kind);
        QFETCH(bool, present);
        QJsonObject scenario;
        if (kind == QLatin1String("cut"))
            scenario.insert(QStringLiteral("cut"), QJsonArray{kPath});
        if (kind == QLatin1String("untrusted"))
            scenario.insert(QStringLiteral("untrusted_certificate"), true);
        WebTestServer web;
        QVERIFY2(web.start(scenario), qPrintable(web.errorText()));
        if (kind != QLatin1String("404"))
            QVERIFY(web.put(kPath, kServed));
        TempFolder folder;
        const QDateTime old(QDate(2020, 1, 1), QTime(10, 0));
        if (present)
            QVERIFY(writeFile(folder.file(kName), kLocal, old));
        const RecordingDownloadView view = checkFiles(web, folder);

        QCOMPARE(view.ended, QList<bool>{false});
        if (present) {
            QCOMPARE(readAll(folder.file(kName)), kLocal);
            QCOMPARE(QFileInfo(folder.file(kName)).lastModified(), old);
        } else {
            QVERIFY(!QFileInfo::exists(folder.file(kName)));
        }
        QCOMPARE(QDir(folder.path()).entryList(QDir::Files | QDir::NoDotAndDotDot | QDir::Hidden),
                 present ? QStringList{kName} : QStringList());
    }

    // Only when the system reports a connection and the internet setting is 0 does the window's
    // first showing look at the files; the probe plays no part.
    void firstShowingChecksOnlyWhenOnlineAndAllowed_data() {
        QTest::addColumn<int>("internetSetting");
        QTest::addColumn<bool>("systemConnection");
        QTest::addColumn<bool>("fetched");
        QTest::newRow("allowed and connected") << 0 << true << true;
        QTest::newRow("setting 1") << 1 << true << false;
        QTest::newRow("setting 2") << 2 << true << false;
        QTest::newRow("no connection reported") << 0 << false << false;
    }
    void firstShowingChecksOnlyWhenOnlineAndAllowed() {
        QFETCH(int, internetSetting);
        QFETCH(bool, systemConnection);
        QFETCH(bool, fetched);
        WebTestServer web;
        QVERIFY2(web.start(), qPrintable(web.errorText()));
        QVERIFY(web.put(kPath, kServed));
        OnlineProgram p(web, internetSetting);
        p.systemConnection = systemConnection;
        p.createAndShow();
        QCOMPARE(web.paths(), fetched ? QStringList{kPath} : QStringList());
        QCOMPARE(QFileInfo::exists(p.folder.file(kName)), fetched);
    }
};

QTEST_GUILESS_MAIN(TestSupportFiles)
#include "tst_supportfiles.moc"
