// The program update against the HTTPS test server: the automatic check's lines and its text
// comparison, the installation of the files the control file names (complete and checked before
// any old file goes), the refusals that replace nothing, and the manual check's wizard path.
#include "ControlFileEntry.h"
#include "MemoryLog.h"
#include "TempFolder.h"
#include "WebTestServer.h"
#include "online/DownloadView.h"
#include "online/HttpsGet.h"
#include "online/ProgramUpdate.h"
#include "online/UpdateControlFile.h"
#include "online/UpdateWizardFlow.h"
#include "online/UpdateWizardView.h"
#include "online/WebUpdate.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QTest>

namespace {
const QString kInstalled = QStringLiteral("4.0.0.0");

QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

bool writeFile(const QString& path, const QByteArray& content) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(content) == content.size();
}

// Records the transfers and lets a test look at the folder while one starts.
class RecordingView : public DownloadView {
public:
    void transferStarting(const Transfer& t, TransferState&) override {
        started << t.fileName;
        if (onStart)
            onStart(t);
    }
    void transferEnded(bool ok) override { ended << ok; }
    QStringList started;
    QList<bool> ended;
    std::function<void(const Transfer&)> onStart;
};

class FakeWizard : public UpdateWizardView {
public:
    void Execute(WebUpdate&) override { ++executed; }
    void showMessage(const QString& text) override { messages << text; }
    int executed = 0;
    QStringList messages;
};

// A program folder with the old program files, the update and its checks, and the log.
struct Updating {
    TempFolder folder;
    MemoryLog log;
    WebServer server;
    WebUpdate update;
    RecordingView view;
    FakeWizard wizard;
    int ended = 0;
    ProgramUpdate checks;

    explicit Updating(const WebTestServer& web)
        : server{web.base(), web.caFile()},
          update([this] { return server; }, folder.path(), kInstalled),
          checks(
              log, update, [this] { return server; }, kInstalled, [this] { ++ended; }) {
        update.setDownloadView(&view);
        checks.setWizard(&wizard);
    }
    QString file(const QString& name) const { return folder.file(name); }
    QStringList leftovers() const {
        return QDir(folder.path()).entryList({QStringLiteral("*.part")}, QDir::Files);
    }
    QString text() const { return log.lines.join(QLatin1Char('\n')); }
};

const QString kControl = QStringLiteral("/secure/orvelsqlbackup.INF");
const QString kFiles = QStringLiteral("/secure/OrvelSQLBackup/update/");
const QByteArray kOldProgram = "old program";
const QByteArray kOldLibrary = "old library";
const QByteArray kNewProgram = QByteArray("new program ").repeated(20000);
const QByteArray kNewLibrary = "new library";
} // namespace

class TestWebUpdate : public QObject {
    Q_OBJECT

    // The server offers 4.0.1.0 with a new program and a new library; the folder holds the old
    // ones.
    static bool offerNewVersion(WebTestServer& web, const QByteArray& servedLibrary = kNewLibrary,
                                const QJsonObject& scenario = {}) {
        if (!web.start(scenario))
            return false;
        const QByteArray control =
            "# test\nVersion=4.0.1.0\n" +
            controlFileEntry(QStringLiteral("OrvelSQLBackup"), kNewProgram) +
            controlFileEntry(QStringLiteral("libtgputtylib.so"), kNewLibrary);
        return web.put(kControl, control) &&
               web.put(kFiles + QStringLiteral("OrvelSQLBackup"), kNewProgram) &&
               web.put(kFiles + QStringLiteral("libtgputtylib.so"), servedLibrary);
    }
    static bool oldFiles(const Updating& u) {
        return writeFile(u.file(QStringLiteral("OrvelSQLBackup")), kOldProgram) &&
               writeFile(u.file(QStringLiteral("libtgputtylib.so")), kOldLibrary);
    }

private Q_SLOTS:
    void sameVersionIsCurrent() {
        WebTestServer web;
        QVERIFY2(web.start(), qPrintable(web.errorText()));
        QVERIFY(
            web.put(kControl, "Version=4.0.0.0\n" +
                                  controlFileEntry(QStringLiteral("OrvelSQLBackup"), kNewProgram)));
        Updating u(web);
        QVERIFY(oldFiles(u));
        u.checks.checkAutomatically();
        QCOMPARE(u.log.lines.first(), QStringLiteral("Prüfe auf Update"));
        QCOMPARE(u.log.lines.last(), QStringLiteral("Programmversion ist aktuell"));
        QVERIFY(!u.text().contains(QStringLiteral("Neue Programmversion")));
        QCOMPARE(web.paths(), QStringList{kControl});
        QCOMPARE(web.requests().first().userAgent, QStringLiteral("TWebUpdate"));
        QCOMPARE(readAll(u.file(QStringLiteral("OrvelSQLBackup"))), kOldProgram);
    }

    void newerVersionReplacesBothFilesOnceBothAreComplete() {
        WebTestServer web;
        QVERIFY2(offerNewVersion(web), qPrintable(web.errorText()));
        Updating u(web);
        QVERIFY(oldFiles(u));
        // While the second file comes, the first one waits under its temporary name.
        QStringList seenWhileSecondStarts;
        u.view.onStart = [&](const DownloadView::Transfer& t) {
            if (t.index == 1)
                seenWhileSecondStarts
                    << QString::fromUtf8(readAll(u.file(QStringLiteral("OrvelSQLBackup"))));
        };
        u.checks.checkAutomatically();

        const QString text = u.text();
        QVERIFY2(u.log.lines.contains(QStringLiteral("Neue Programmversion steht bereit: 4.0.1.0")),
                 qPrintable(text));
        const qsizetype ready =
            u.log.lines.indexOf(QStringLiteral("Neue Programmversion steht bereit: 4.0.1.0"));
        QCOMPARE(u.log.lines.value(ready + 1), QStringLiteral("Installation wird gestartet"));
        QVERIFY2(u.log.lines.last().startsWith(
                     QStringLiteral("Update-Status: Update auf Version 4.0.1.0 installiert")),
                 qPrintable(text));
        QCOMPARE(seenWhileSecondStarts, QStringList{QString::fromUtf8(kOldProgram)});
        QCOMPARE(readAll(u.file(QStringLiteral("OrvelSQLBackup"))), kNewProgram);
        QCOMPARE(readAll(u.file(QStringLiteral("libtgputtylib.so"))), kNewLibrary);
        QCOMPARE(u.leftovers(), QStringList());
        QCOMPARE(u.view.ended, (QList<bool>{true, true}));
        for (const auto& r : web.requests())
            QCOMPARE(r.userAgent, QStringLiteral("TWebUpdate"));
    }

    // A file that is already what the control file names is not fetched again; a missing one is.
    void onlyOutdatedOrMissingFilesAreFetched() {
        WebTestServer web;
        QVERIFY2(offerNewVersion(web), qPrintable(web.errorText()));
        Updating u(web);
        QVERIFY(writeFile(u.file(QStringLiteral("libtgputtylib.so")), kNewLibrary));
        QVERIFY(u.update.DoUpdate());
        QCOMPARE(u.view.started, QStringList{QStringLiteral("OrvelSQLBackup")});
        QCOMPARE(readAll(u.file(QStringLiteral("OrvelSQLBackup"))), kNewProgram);
    }

    // Whatever fails, no old file is replaced, nothing is left behind, and a status line says why.
    void refusedUpdateReplacesNothing_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("why");
        QTest::newRow("SHA-256 differs")
            << QStringLiteral("sha") << QStringLiteral("SHA-256 stimmt nicht mit der Steuerdatei");
        QTest::newRow("transfer cut")
            << QStringLiteral("cut") << QStringLiteral("libtgputtylib.so");
        QTest::newRow("file missing on the server")
            << QStringLiteral("404") << QStringLiteral("HTTP-Status 404");
        QTest::newRow("untrusted certificate")
            << QStringLiteral("untrusted") << QStringLiteral("Zertifikat des Servers");
        QTest::newRow("plain http") << QStringLiteral("http") << QStringLiteral("Nur HTTPS");
        QTest::newRow("CA file missing")
            << QStringLiteral("missingca") << QStringLiteral("(WebCAFile) kann nicht gelesen");
    }
    void refusedUpdateReplacesNothing() {
        QFETCH(QString, kind);
        QFETCH(QString, why);
        QJsonObject scenario;
        if (kind == QLatin1String("untrusted"))
            scenario.insert(QStringLiteral("untrusted_certificate"), true);
        if (kind == QLatin1String("cut"))
            scenario.insert(QStringLiteral("cut"),
                            QJsonArray{kFiles + QStringLiteral("libtgputtylib.so")});
        QByteArray served = kNewLibrary;
        if (kind == QLatin1String("sha"))
            served = "new librarz"; // same size, other bytes
        WebTestServer web;
        QVERIFY2(offerNewVersion(web, served, scenario), qPrintable(web.errorText()));
        if (kind == QLatin1String("404"))
            QVERIFY(QFile::remove(web.folderPath(kFiles + QStringLiteral("libtgputtylib.so"))));
        Updating u(web);
        if (kind == QLatin1String("http"))
            u.server.base.replace(QStringLiteral("https:"), QStringLiteral("http:"));
        if (kind == QLatin1String("missingca"))
            u.server.caFile += QStringLiteral(".gone");
        QVERIFY(oldFiles(u));
        u.checks.checkAutomatically();

        const QString text = u.text();
        QVERIFY2(text.contains(why), qPrintable(text));
        QCOMPARE(readAll(u.file(QStringLiteral("OrvelSQLBackup"))), kOldProgram);
        QCOMPARE(readAll(u.file(QStringLiteral("libtgputtylib.so"))), kOldLibrary);
        QCOMPARE(u.leftovers(), QStringList());
        for (const QString& line : u.log.lines)
            QVERIFY2(line == QStringLiteral("Prüfe auf Update") ||
                         line.startsWith(QStringLiteral("Update-Status: ")) ||
                         line.startsWith(QStringLiteral("Neue Programmversion steht bereit")) ||
                         line == QStringLiteral("Installation wird gestartet"),
                     qPrintable(line));
    }

    // A server that stops sending in the middle of a file does not hold the update for ever: the
    // stall limit ends the transfer.
    void stalledTransferEndsByTheStallLimit() {
        WebTestServer web;
        const QString path = kFiles + QStringLiteral("OrvelSQLBackup");
        QVERIFY2(web.start(QJsonObject{{QStringLiteral("stall"), QJsonArray{path}}}),
                 qPrintable(web.errorText()));
        QVERIFY(web.put(path, kNewProgram));
        QBuffer sink;
        sink.open(QIODevice::WriteOnly);
        HttpsRequest request;
        request.url = web.base() + path;
        request.caFile = web.caFile();
        request.sink = &sink;
        request.stallTimeoutS = 2;
        request.totalTimeoutS = 0;
        QElapsedTimer clock;
        clock.start();
        const HttpsResult result = httpsGet(request);
        QVERIFY(!result.ok);
        QVERIFY2(result.error.startsWith(QStringLiteral("Zeitüberschreitung")),
                 qPrintable(result.error));
        QVERIFY2(clock.elapsed() < 20000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(sink.data(), kNewProgram.left(16));
    }

    // A check that read no control file is neither "aktuell" nor a reason to install: the
    // failure's status line stands alone.
    void checkWithoutControlFileInstallsNothing_data() {
        QTest::addColumn<QByteArray>("control");
        QTest::addColumn<QString>("why");
        QTest::newRow("no control file") << QByteArray() << QStringLiteral("HTTP-Status 404");
        QTest::newRow("not a control file") << QByteArray("<html>Wartungsarbeiten</html>")
                                            << QStringLiteral("Steuerdatei ungültig");
        QTest::newRow("version in another form")
            << QByteArray("Version=4.1\n") << QStringLiteral("Steuerdatei ungültig");
        QTest::newRow("file name with a folder")
            << QByteArray("Version=4.0.1.0\nFile=../x;1;00000000;" + QByteArray(64, 'a') + '\n')
            << QStringLiteral("Dateiname \"../x\" ist nicht erlaubt");
    }
    void checkWithoutControlFileInstallsNothing() {
        QFETCH(QByteArray, control);
        QFETCH(QString, why);
        WebTestServer web;
        QVERIFY2(web.start(), qPrintable(web.errorText()));
        if (!control.isEmpty())
            QVERIFY(web.put(kControl, control));
        Updating u(web);
        u.checks.checkAutomatically();
        QCOMPARE(u.log.lines.first(), QStringLiteral("Prüfe auf Update"));
        QVERIFY2(u.log.lines.last().startsWith(QStringLiteral("Update-Status: ")) &&
                     u.log.lines.last().contains(why),
                 qPrintable(u.text()));
        QVERIFY(!u.text().contains(QStringLiteral("Programmversion ist aktuell")));
        QVERIFY(!u.text().contains(QStringLiteral("Installation wird gestartet")));
        QCOMPARE(web.paths(), QStringList{kControl});
    }

    void manualCheckRunsTheWizardAndEndsTheProgram() {
        WebTestServer web;
        QVERIFY2(offerNewVersion(web), qPrintable(web.errorText()));
        Updating u(web);
        u.checks.checkByHand();
        QVERIFY(u.log.lines.contains(QStringLiteral("newversioninfo:4.0.1.0")));
        const qsizetype at = u.log.lines.indexOf(QStringLiteral("newversioninfo:4.0.1.0"));
        QCOMPARE(u.log.lines.value(at + 1), QStringLiteral("curversioninfo:4.0.0.0"));
        QCOMPARE(u.wizard.executed, 1);
        QCOMPARE(u.ended, 1);
        QCOMPARE(u.wizard.messages, QStringList());
    }

    void manualCheckWithoutNewerVersionSaysSo_data() {
        QTest::addColumn<QByteArray>("control");
        QTest::newRow("same version") << QByteArray("Version=4.0.0.0\n");
        QTest::newRow("older version") << QByteArray("Version=3.9.9.9\n");
        QTest::newRow("server without control file") << QByteArray();
    }
    void manualCheckWithoutNewerVersionSaysSo() {
        QFETCH(QByteArray, control);
        WebTestServer web;
        QVERIFY2(web.start(), qPrintable(web.errorText()));
        if (!control.isEmpty())
            QVERIFY(web.put(kControl, control));
        Updating u(web);
        u.checks.checkByHand();
        QCOMPARE(u.wizard.messages,
                 QStringList{QStringLiteral("Sie haben die aktuellste Version")});
        QCOMPARE(u.wizard.executed, 0);
        QCOMPARE(u.ended, 0);
    }

    // The wizard's way through its pages, and what it leaves in the folder.
    void wizardFlowRunsThroughItsPages_data() {
        using P = UpdateWizardFlow::Page;
        QTest::addColumn<QString>("server");
        QTest::addColumn<QList<P>>("pages");
        QTest::addColumn<QByteArray>("program");
        QTest::newRow("newer version installed")
            << QStringLiteral("newer") << QList<P>{P::Welcome,  P::NewVersion, P::Downloading,
                                                   P::Complete, P::Restart,    P::Closed}
            << kNewProgram;
        QTest::newRow("download refused")
            << QStringLiteral("badsha")
            << QList<P>{P::Welcome, P::NewVersion, P::Downloading, P::Failed, P::Closed}
            << kOldProgram;
        QTest::newRow("same version")
            << QStringLiteral("same") << QList<P>{P::Welcome, P::NoNewVersion, P::Closed}
            << kOldProgram;
        QTest::newRow("no control file")
            << QStringLiteral("none") << QList<P>{P::Welcome, P::NoConnection, P::Closed}
            << kOldProgram;
    }
    void wizardFlowRunsThroughItsPages() {
        using P = UpdateWizardFlow::Page;
        QFETCH(QString, server);
        QFETCH(QList<P>, pages);
        QFETCH(QByteArray, program);
        WebTestServer web;
        if (server == QLatin1String("newer") || server == QLatin1String("badsha")) {
            QVERIFY2(offerNewVersion(web, server == QLatin1String("newer") ? kNewLibrary
                                                                           : QByteArray("x")),
                     qPrintable(web.errorText()));
        } else {
            QVERIFY2(web.start(), qPrintable(web.errorText()));
            if (server == QLatin1String("same"))
                QVERIFY(web.put(kControl, "Version=4.0.0.0\n"));
        }
        Updating u(web);
        QVERIFY(oldFiles(u));
        UpdateWizardFlow flow(u.update);
        QList<P> seen{flow.page()};
        for (int i = 0; i < 10 && !flow.finished(); ++i) {
            QVERIFY(!flow.texts().heading.isEmpty());
            flow.advance();
            seen << flow.page();
        }
        QCOMPARE(seen, pages);
        QCOMPARE(readAll(u.file(QStringLiteral("OrvelSQLBackup"))), program);
        QCOMPARE(u.leftovers(), QStringList());
    }

    void cancelledWizardEndsAfterTheWorkAtHand() {
        WebTestServer web;
        QVERIFY2(offerNewVersion(web), qPrintable(web.errorText()));
        Updating u(web);
        UpdateWizardFlow flow(u.update);
        flow.advance();
        QCOMPARE(flow.page(), UpdateWizardFlow::Page::NewVersion);
        flow.cancel();
        QVERIFY(flow.finished());
        QCOMPARE(web.paths(), QStringList{kControl});
    }
};

QTEST_GUILESS_MAIN(TestWebUpdate)
#include "tst_webupdate.moc"
