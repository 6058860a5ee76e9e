// The support files against the HTTPS test server: which files are fetched by their dates, and
// that an error page, a cut transfer, a file the maker's signed control file does not name, a
// control file that does not count or a planted link never replaces or writes through the file
// that is there; the gate of the window's first
// showing by the internet setting and the system's connection report.
#include "ControlFileEntry.h"
#include "OnlineProgram.h"
#include "RecordingDownloadView.h"
#include "TempFolder.h"
#include "UpdateSigner.h"
#include "WebTestServer.h"
#include "online/SupportFileDownload.h"

#include <QDir>
#include <QTest>

namespace {
const QString kName = QStringLiteral("libtgputtylib.so");
const QString kPath = QStringLiteral("/secure/OrvelSQLBackup/libtgputtylib.so");
const QString kControl = QStringLiteral("/secure/orvelsqlbackup.INF");
const QString kControlSignature = QStringLiteral("/secure/orvelsqlbackup.INF.sig");
const QByteArray kServed = QByteArray("\x7f"
                                      "ELF",
                                      4) +
                           QByteArray(" library from the server").repeated(5000);
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

// The maker's key of this test run.
const UpdateSigner& maker() {
    static const UpdateSigner signer;
    return signer;
}

// Serves the control file, signed by the maker, naming `named` as the library.
bool putControl(const WebTestServer& web, const QByteArray& named,
                const QByteArray& validity = controlFileValidity()) {
    const QByteArray control = "Version=4.0.0.0\n" + validity + controlFileLibrary(named);
    return web.put(kControl, control) && web.put(kControlSignature, maker().sign(control));
}

// Serves the library and the signed control file that names it.
bool putSigned(const WebTestServer& web, const QByteArray& content) {
    return web.put(kPath, content) && putControl(web, content);
}

struct Checked {
    RecordingDownloadView view;
    QString error;
};

// Runs the support-file check of `folder` against the test server, verifying with `key`; what
// the view was told and why the file was not put in place.
Checked checkFiles(WebTestServer& web, const TempFolder& folder,
                   const UpdateKey& key = maker().publicKey()) {
    SupportFileDownload support(
        [&web] {
            return WebServer{web.base(), web.caFile()};
        },
        folder.path());
    support.setVerifyingKey(key);
    Checked checked;
    support.setDownloadView(&checked.view);
    support.Berichtsvorlagencheck();
    checked.error = support.lastError();
    return checked;
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
        QVERIFY(putSigned(web, kServed));
        TempFolder folder;
        if (written.isValid())
            QVERIFY(writeFile(folder.file(kName), kLocal, written));
        const Checked checked = checkFiles(web, folder);
        const RecordingDownloadView& view = checked.view;

        if (fetched) {
            const auto requests = web.requests();
            QCOMPARE(requests.size(), 3);
            QCOMPARE(requests[0].path, kControl);
            QCOMPARE(requests[1].path, kControlSignature);
            QCOMPARE(requests[2].path, kPath);
            for (const auto& request : requests)
                QCOMPARE(request.userAgent, QStringLiteral("WebCopy"));
            QCOMPARE(checked.error, QString());
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
        // Only the library the maker's signed control file names replaces the one that is there:
        // a control file without a valid signature, an expired or older one, one that names no
        // library or another, and a bare signature of the library (no longer enough) do not.
        QTest::newRow("control file unsigned") << QStringLiteral("nosig") << true;
        QTest::newRow("control file unsigned, no file") << QStringLiteral("nosig") << false;
        QTest::newRow("control file signed by another key") << QStringLiteral("otherkey") << true;
        QTest::newRow("signature cut short") << QStringLiteral("short") << true;
        QTest::newRow("library signature as control file signature")
            << QStringLiteral("librarysig") << true;
        QTest::newRow("control file expired") << QStringLiteral("expired") << true;
        QTest::newRow("control file older than seen") << QStringLiteral("older") << true;
        QTest::newRow("control file names no library") << QStringLiteral("nolibrary") << true;
        QTest::newRow("library other than named") << QStringLiteral("otherbytes") << true;
        QTest::newRow("build without a key") << QStringLiteral("nokey") << true;
        // Named by the control file, but no library: a text served in the library's place.
        QTest::newRow("named file that is no library") << QStringLiteral("notelf") << true;
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
            QVERIFY(putSigned(web, kServed));
        const QByteArray control = readAll(web.folderPath(kControl));
        if (kind == QLatin1String("nosig"))
            QVERIFY(QFile::remove(web.folderPath(kControlSignature)));
        if (kind == QLatin1String("otherbytes"))
            QVERIFY(putControl(web, kLocal));
        if (kind == QLatin1String("otherkey"))
            QVERIFY(web.put(kControlSignature, UpdateSigner().sign(control)));
        if (kind == QLatin1String("short"))
            QVERIFY(web.put(kControlSignature, maker().sign(control).left(63)));
        if (kind == QLatin1String("librarysig"))
            QVERIFY(web.put(kControlSignature, maker().sign(control, UpdateKey::Kind::Library)));
        if (kind == QLatin1String("expired"))
            QVERIFY(putControl(web, kServed, controlFileValidity(100, -1)));
        if (kind == QLatin1String("nolibrary")) {
            const QByteArray bare = "Version=4.0.0.0\n" + controlFileValidity();
            QVERIFY(web.put(kControl, bare) && web.put(kControlSignature, maker().sign(bare)));
        }
        if (kind == QLatin1String("notelf")) {
            const QByteArray text = "[Update]\nVersion=4.0.1.0\n";
            QVERIFY(web.put(kPath, text) && putControl(web, text));
        }
        TempFolder folder;
        if (kind == QLatin1String("older"))
            QVERIFY(writeFile(folder.file(QStringLiteral("update_serial")), "101\n",
                              QDateTime::currentDateTime()));
        const QDateTime old(QDate(2020, 1, 1), QTime(10, 0));
        if (present)
            QVERIFY(writeFile(folder.file(kName), kLocal, old));
        const Checked checked = checkFiles(
            web, folder, kind == QLatin1String("nokey") ? UpdateKey() : maker().publicKey());
        const RecordingDownloadView& view = checked.view;

        QVERIFY(!view.ended.contains(true));
        QVERIFY2(checked.error.contains(folder.file(kName)) ||
                     checked.error.contains(QStringLiteral("libtgputtylib.so")),
                 qPrintable(checked.error));
        if (present) {
            QCOMPARE(readAll(folder.file(kName)), kLocal);
            QCOMPARE(QFileInfo(folder.file(kName)).lastModified(), old);
        } else {
            QVERIFY(!QFileInfo::exists(folder.file(kName)));
        }
        // A control file that counts raises the serial kept, whatever becomes of the library;
        // one that does not leaves it as it was.
        const QStringList counted{QStringLiteral("cut"), QStringLiteral("nolibrary"),
                                  QStringLiteral("otherbytes"), QStringLiteral("notelf")};
        const QString serialFile = folder.file(QStringLiteral("update_serial"));
        QCOMPARE(readAll(serialFile), kind == QLatin1String("older") ? QByteArray("101\n")
                                      : counted.contains(kind)       ? QByteArray("100\n")
                                                                     : QByteArray("<missing>"));
        QFile::remove(serialFile);
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
        QVERIFY(putSigned(web, kServed));
        OnlineProgram p(web, internetSetting);
        p.systemConnection = systemConnection;
        p.createAndShow();
        QCOMPARE(web.paths().value(0), fetched ? kControl : QString());
        // The program checks with the build's key, which did not sign this test's control file.
        QVERIFY(!QFileInfo::exists(p.folder.file(kName)));
    }

    // A link planted in the library's place is left alone: nothing is fetched, the link's target
    // is neither written nor created, and the error names the file.
    void linkInTheLibrarysPlaceIsNotWrittenThrough_data() {
        QTest::addColumn<bool>("dangling");
        QTest::newRow("link to an old file") << false;
        QTest::newRow("link to nothing") << true;
    }
    void linkInTheLibrarysPlaceIsNotWrittenThrough() {
        QFETCH(bool, dangling);
        WebTestServer web;
        QVERIFY2(web.start(), qPrintable(web.errorText()));
        QVERIFY(putSigned(web, kServed));
        TempFolder folder;
        TempFolder elsewhere;
        const QString victim = elsewhere.file(QStringLiteral("victim"));
        if (!dangling)
            QVERIFY(writeFile(victim, kLocal, QDateTime(QDate(2020, 1, 1), QTime(10, 0))));
        QVERIFY(QFile::link(victim, folder.file(kName)));
        const Checked checked = checkFiles(web, folder);

        QCOMPARE(checked.error, QStringLiteral("Die Datei %1 ist ein symbolischer Link und wird "
                                               "nicht ersetzt")
                                    .arg(folder.file(kName)));
        QCOMPARE(web.paths(), QStringList());
        QCOMPARE(readAll(victim), dangling ? QByteArray("<missing>") : kLocal);
        QVERIFY(QFileInfo(folder.file(kName)).isSymLink());
    }
};

QTEST_GUILESS_MAIN(TestSupportFiles)
#include "tst_supportfiles.moc"
