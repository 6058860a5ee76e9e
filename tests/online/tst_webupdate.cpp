// The program update against the HTTPS test server: the automatic check's lines and its text
// comparison, the installation of the files the control file names (signed, complete and checked
// before any old file goes, all or nothing), the refusals that replace nothing, the redirects of
// the HTTPS client, the maker's signing tool, and the manual check's wizard path.
#include "ControlFileEntry.h"
#include "MemoryLog.h"
#include "RecordingDownloadView.h"
#include "TempFolder.h"
#include "UpdateSigner.h"
#include "WebTestServer.h"
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
#include <QProcess>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

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

// The maker's key of this test run.
const UpdateSigner& maker() {
    static const UpdateSigner signer;
    return signer;
}

const QString kControl = QStringLiteral("/secure/orvelsqlbackup.INF");
const QString kSignature = QStringLiteral("/secure/orvelsqlbackup.INF.sig");
const QString kFiles = QStringLiteral("/secure/OrvelSQLBackup/update/");

// Serves a control file with the maker's signature beside it; one without a serial gets serial
// 100 and an expiry a month ahead, at its end.
bool putSigned(const WebTestServer& web, QByteArray control) {
    if (!control.contains("Serial="))
        control += controlFileValidity();
    return web.put(kControl, control) && web.put(kSignature, maker().sign(control));
}

// Whether any program file was asked for.
bool filesRequested(const WebTestServer& web) {
    for (const QString& path : web.paths())
        if (path.startsWith(kFiles))
            return true;
    return false;
}

int modeOf(const QString& path) {
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

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
    RecordingDownloadView view;
    FakeWizard wizard;
    int ended = 0;
    ProgramUpdate checks;

    explicit Updating(const WebTestServer& web)
        : server{web.base(), web.caFile()},
          update([this] { return server; }, folder.path(), kInstalled),
          checks(
              log, update, [this] { return server; }, kInstalled, [this] { ++ended; }) {
        update.setVerifyingKey(maker().publicKey());
        update.setDownloadView(&view);
        checks.setWizard(&wizard);
    }
    QString file(const QString& name) const { return folder.file(name); }
    QStringList leftovers() const {
        return QDir(folder.path())
            .entryList({QStringLiteral("*.part"), QStringLiteral("*.old")},
                       QDir::Files | QDir::System);
    }
    QString text() const { return log.lines.join(QLatin1Char('\n')); }
};

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
        return putSigned(web, control) &&
               web.put(kFiles + QStringLiteral("OrvelSQLBackup"), kNewProgram) &&
               web.put(kFiles + QStringLiteral("libtgputtylib.so"), servedLibrary);
    }
    static bool oldFiles(const Updating& u) {
        return writeFile(u.file(QStringLiteral("OrvelSQLBackup")), kOldProgram) &&
               writeFile(u.file(QStringLiteral("libtgputtylib.so")), kOldLibrary);
    }

private Q_SLOTS:
    // The same version, or an older one a server offers, is current: nothing is fetched, and no
    // line announces a new version.
    void sameOrOlderVersionIsCurrent_data() {
        QTest::addColumn<QByteArray>("offered");
        QTest::newRow("same version") << QByteArray("4.0.0.0");
        QTest::newRow("older version") << QByteArray("3.9.9.9");
    }
    void sameOrOlderVersionIsCurrent() {
        QFETCH(QByteArray, offered);
        WebTestServer web;
        QVERIFY2(web.start(), qPrintable(web.errorText()));
        QVERIFY(
            putSigned(web, "Version=" + offered + "\n" +
                               controlFileEntry(QStringLiteral("OrvelSQLBackup"), kNewProgram)));
        Updating u(web);
        QVERIFY(oldFiles(u));
        u.checks.checkAutomatically();
        QCOMPARE(u.log.lines.first(), QStringLiteral("Prüfe auf Update"));
        QCOMPARE(u.log.lines.last(), QStringLiteral("Programmversion ist aktuell"));
        QVERIFY(!u.text().contains(QStringLiteral("Neue Programmversion")));
        QCOMPARE(web.paths(), (QStringList{kControl, kSignature}));
        QCOMPARE(web.requests().first().userAgent, QStringLiteral("TWebUpdate"));
        QCOMPARE(readAll(u.file(QStringLiteral("OrvelSQLBackup"))), kOldProgram);
    }

    void newerVersionReplacesBothFilesOnceBothAreComplete() {
        WebTestServer web;
        QVERIFY2(offerNewVersion(web), qPrintable(web.errorText()));
        Updating u(web);
        QVERIFY(oldFiles(u));
        QVERIFY(::chmod(QFile::encodeName(u.file(QStringLiteral("OrvelSQLBackup"))).constData(),
                        0750) == 0);
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
        QCOMPARE(modeOf(u.file(QStringLiteral("OrvelSQLBackup"))), 0750);
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
        QCOMPARE(modeOf(u.file(QStringLiteral("OrvelSQLBackup"))), 0644); // new: rw-r--r--
    }

    // Every file already what the version offers: that is said, and no installation is claimed.
    void filesAlreadyCurrentAreNotReportedAsInstalled() {
        WebTestServer web;
        QVERIFY2(offerNewVersion(web), qPrintable(web.errorText()));
        Updating u(web);
        QVERIFY(writeFile(u.file(QStringLiteral("OrvelSQLBackup")), kNewProgram));
        QVERIFY(writeFile(u.file(QStringLiteral("libtgputtylib.so")), kNewLibrary));
        u.checks.checkAutomatically();
        QCOMPARE(u.log.lines.last(),
                 QStringLiteral("Update-Status: Alle Programmdateien entsprechen bereits der "
                                "Version 4.0.1.0"));
        QVERIFY2(!u.text().contains(QStringLiteral("Update auf Version")), qPrintable(u.text()));
        QVERIFY(!filesRequested(web));
    }

    // The eight points of small order, each with the sign bit clear and set, and with y not
    // reduced (p, p + 1): no key, whichever way it is given; a neighbour is a key.
    void smallOrderKeysAreNoKeys_data() {
        QTest::addColumn<QByteArray>("hex");
        QTest::addColumn<bool>("isKey");
        const QByteArray zeros(60, '0');
        const QByteArray ones(60, 'f');
        const QList<QByteArray> points = {
            "00" + zeros + "00",
            "01" + zeros + "00",
            "26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc05",
            "c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac037a",
            "ec" + ones + "7f",
            "ed" + ones + "7f",
            "ee" + ones + "7f",
        };
        for (const QByteArray& point : points) {
            QByteArray top = QByteArray::fromHex(point);
            top[31] = char(uchar(top[31]) | 0x80);
            QTest::newRow(point.constData()) << point << false;
            QTest::newRow(top.toHex().toUpper().constData()) << top.toHex().toUpper() << false;
        }
        QTest::newRow("02 00…00") << "02" + zeros + "00" << true;
        QTest::newRow("ef ff…ff 7f") << "ef" + ones + "7f" << true;
    }
    void smallOrderKeysAreNoKeys() {
        QFETCH(QByteArray, hex);
        QFETCH(bool, isKey);
        QCOMPARE(UpdateKey::fromHex(hex).isSet(), isKey);
        QCOMPARE(UpdateKey(QByteArray::fromHex(hex)).isSet(), isKey);
        if (!isKey)
            QVERIFY(!UpdateKey::fromHex(hex).verifies(UpdateKey::Kind::ControlFile, "x",
                                                      "\x01" + QByteArray(63, '\0')));
    }

    // The control file counts only with the maker's signature over its exact bytes, made for a
    // control file, and only while it is not expired and its serial not lower than the highest
    // seen; a server that WebServer= and WebCAFile= make trusted changes nothing about that. A
    // build without a key reads the offer but installs nothing.
    void controlFileWithoutValidSignatureInstallsNothing_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("why");
        const QString invalid = QStringLiteral("Die Signatur der Steuerdatei ist ungültig");
        QTest::newRow("one byte changed") << QStringLiteral("changed") << invalid;
        QTest::newRow("another key, trusted server") << QStringLiteral("otherkey") << invalid;
        QTest::newRow("signature cut short") << QStringLiteral("short") << invalid;
        QTest::newRow("signature missing")
            << QStringLiteral("missing") << QStringLiteral("Die Signatur der Steuerdatei fehlt");
        QTest::newRow("build without a key")
            << QStringLiteral("nokey")
            << QStringLiteral("ohne Schlüssel zur Prüfung der Updates gebaut");
        // A key of small order is no key: the "signature" 01 00…00 00…00 holds for any data.
        QTest::newRow("build with a small-order key, forged signature")
            << QStringLiteral("weakkey")
            << QStringLiteral("ohne Schlüssel zur Prüfung der Updates gebaut");        // The maker's signature over the same bytes, made for the library: each kind of file has
        // its own context line, so it does not pass for a control file.
        QTest::newRow("library signature as control file signature")
            << QStringLiteral("librarysig") << invalid;
        // Signed by the maker, but older than what this folder has seen, or past its last day:
        // a server holding back an update with an old file.
        QTest::newRow("older serial")
            << QStringLiteral("older")
            << QStringLiteral("Die Steuerdatei hat die Seriennummer 100, es galt aber schon die "
                              "Seriennummer 101: eine ältere Steuerdatei wird verworfen");
        QTest::newRow("expired")
            << QStringLiteral("expired")
            << QStringLiteral("Die Steuerdatei ist am %1 abgelaufen und wird verworfen")
                   .arg(QDate::currentDate().addDays(-1).toString(QStringLiteral("dd.MM.yyyy")));
    }
    void controlFileWithoutValidSignatureInstallsNothing() {
        QFETCH(QString, kind);
        QFETCH(QString, why);
        WebTestServer web;
        QVERIFY2(offerNewVersion(web), qPrintable(web.errorText()));
        const QByteArray control = readAll(web.folderPath(kControl));
        if (kind == QLatin1String("changed")) {
            QByteArray changed = control;
            changed[2] = 'T'; // "# test" -> "# Test"
            QVERIFY(web.put(kControl, changed));
        } else if (kind == QLatin1String("otherkey")) {
            const UpdateSigner other;
            QVERIFY(web.put(kSignature, other.sign(control)));
        } else if (kind == QLatin1String("short")) {
            QVERIFY(web.put(kSignature, maker().sign(control).left(63)));
        } else if (kind == QLatin1String("missing")) {
            QVERIFY(QFile::remove(web.folderPath(kSignature)));
        } else if (kind == QLatin1String("weakkey")) {
            QVERIFY(web.put(kSignature, "\x01" + QByteArray(63, '\0')));
        } else if (kind == QLatin1String("librarysig")) {
            QVERIFY(web.put(kSignature, maker().sign(control, UpdateKey::Kind::Library)));
        } else if (kind == QLatin1String("expired")) {
            QByteArray expired = control;
            expired.replace(controlFileValidity(), controlFileValidity(100, -1));
            QVERIFY(expired != control);
            QVERIFY(putSigned(web, expired));
        }
        Updating u(web);
        if (kind == QLatin1String("older"))
            QVERIFY(writeFile(u.file(QStringLiteral("update_serial")), "101\n"));
        if (kind == QLatin1String("nokey"))
            u.update.setVerifyingKey(UpdateKey());
        if (kind == QLatin1String("weakkey"))
            u.update.setVerifyingKey(UpdateKey("\x01" + QByteArray(31, '\0')));
        QVERIFY(oldFiles(u));
        u.checks.checkAutomatically();

        QVERIFY2(u.log.lines.last().startsWith(QStringLiteral("Update-Status: ")) &&
                     u.log.lines.last().contains(why),
                 qPrintable(u.text()));
        QVERIFY(!filesRequested(web));
        QCOMPARE(readAll(u.file(QStringLiteral("OrvelSQLBackup"))), kOldProgram);
        QCOMPARE(readAll(u.file(QStringLiteral("libtgputtylib.so"))), kOldLibrary);
        QCOMPARE(u.leftovers(), QStringList());
        QVERIFY(!u.text().contains(QStringLiteral("Programmversion ist aktuell")));
        // A refused file raises no serial; an older one leaves the highest as it was.
        QCOMPARE(readAll(u.file(QStringLiteral("update_serial"))),
                 kind == QLatin1String("older") ? QByteArray("101\n") : QByteArray("<missing>"));
    }

    // All or nothing: when the second rename fails, the first file gets its old content back (or
    // goes again when it was new), and the log says which file could not be replaced.
    void failedRenamePutsReplacedFilesBack_data() {
        QTest::addColumn<bool>("programPresent");
        QTest::newRow("both files present") << true;
        QTest::newRow("program file new") << false;
    }
    void failedRenamePutsReplacedFilesBack() {
        QFETCH(bool, programPresent);
        WebTestServer web;
        QVERIFY2(offerNewVersion(web), qPrintable(web.errorText()));
        Updating u(web);
        QVERIFY(writeFile(u.file(QStringLiteral("libtgputtylib.so")), kOldLibrary));
        if (programPresent)
            QVERIFY(writeFile(u.file(QStringLiteral("OrvelSQLBackup")), kOldProgram));
        int renames = 0;
        u.update.setRenameFunction([&renames](const QByteArray& from, const QByteArray& to) {
            if (++renames == 2) {
                errno = EIO;
                return -1;
            }
            return std::rename(from.constData(), to.constData());
        });
        QVERIFY(!u.update.DoUpdate());

        QCOMPARE(renames, 2);
        if (programPresent)
            QCOMPARE(readAll(u.file(QStringLiteral("OrvelSQLBackup"))), kOldProgram);
        else
            QVERIFY(!QFileInfo::exists(u.file(QStringLiteral("OrvelSQLBackup"))));
        QCOMPARE(readAll(u.file(QStringLiteral("libtgputtylib.so"))), kOldLibrary);
        QCOMPARE(u.leftovers(), QStringList());
        const QString text = u.text();
        QVERIFY2(text.contains(QStringLiteral("Die Datei %1 kann nicht ersetzt werden")
                                   .arg(u.file(QStringLiteral("libtgputtylib.so")))),
                 qPrintable(text));
        QVERIFY2(u.log.lines.last().contains(
                     QStringLiteral("Update auf Version 4.0.1.0 nicht installiert")),
                 qPrintable(text));
        for (const QString& line : u.log.lines)
            QVERIFY2(!line.endsWith(QStringLiteral(" ersetzt")), qPrintable(line));
    }

    // A link planted in the place of a program file is never written through: the update stops
    // before it fetches anything, and the line names the file.
    void linkInAFilesPlaceStopsTheUpdate_data() {
        QTest::addColumn<bool>("dangling");
        QTest::newRow("link to a file") << false;
        QTest::newRow("link to nothing") << true;
    }
    void linkInAFilesPlaceStopsTheUpdate() {
        QFETCH(bool, dangling);
        WebTestServer web;
        QVERIFY2(offerNewVersion(web), qPrintable(web.errorText()));
        Updating u(web);
        QVERIFY(writeFile(u.file(QStringLiteral("OrvelSQLBackup")), kOldProgram));
        TempFolder elsewhere;
        const QString victim = elsewhere.file(QStringLiteral("victim"));
        if (!dangling)
            QVERIFY(writeFile(victim, "precious"));
        const QString link = u.file(QStringLiteral("libtgputtylib.so"));
        QVERIFY(QFile::link(victim, link));
        u.checks.checkAutomatically();

        const QString text = u.text();
        QVERIFY2(text.contains(QStringLiteral("Die Datei %1 ist ein symbolischer Link").arg(link)),
                 qPrintable(text));
        QVERIFY(!filesRequested(web));
        QCOMPARE(readAll(victim), dangling ? QByteArray("<missing>") : QByteArray("precious"));
        QVERIFY(QFileInfo(link).isSymLink());
        QCOMPARE(readAll(u.file(QStringLiteral("OrvelSQLBackup"))), kOldProgram);
        QCOMPARE(u.leftovers(), QStringList());
    }

    // The HTTPS client follows redirects as a browser does, up to five, and only to https://.
    void redirectsAreFollowedOnlyToHttps_data() {
        QTest::addColumn<QJsonObject>("routes");
        QTest::addColumn<QString>("error"); // empty: the file arrives
        const auto to = [](int status, const QString& location) {
            QJsonObject r{{QStringLiteral("status"), status},
                          {QStringLiteral("body"), QStringLiteral("moved")}};
            if (!location.isNull())
                r.insert(QStringLiteral("location"), location);
            return r;
        };
        const QString file = QStringLiteral("/secure/file");
        for (const int status : {301, 302, 303, 307, 308})
            QTest::addRow("%d to a path", status)
                << QJsonObject{{QStringLiteral("/start"), to(status, file)}} << QString();
        QJsonObject chain;
        for (int i = 0; i < 5; ++i)
            chain.insert(i == 0 ? QStringLiteral("/start") : QStringLiteral("/r%1").arg(i),
                         to(302, i == 4 ? file : QStringLiteral("/r%1").arg(i + 1)));
        QTest::newRow("five in a row") << chain << QString();
        QJsonObject longer = chain;
        longer.insert(QStringLiteral("/r4"), to(302, QStringLiteral("/r5")));
        longer.insert(QStringLiteral("/r5"), to(302, file));
        QTest::newRow("six in a row")
            << longer << QStringLiteral("Zu viele Weiterleitungen (mehr als 5)");
        QTest::newRow("to http")
            << QJsonObject{{QStringLiteral("/start"),
                            to(302, QStringLiteral("http://127.0.0.1:9/secure/file"))}}
            << QStringLiteral("nach http://127.0.0.1:9/secure/file abgelehnt: nur HTTPS ist "
                              "erlaubt");
        QTest::newRow("to ftp") << QJsonObject{{QStringLiteral("/start"),
                                                to(302,
                                                   QStringLiteral("ftp://127.0.0.1/secure/file"))}}
                                << QStringLiteral("nur HTTPS ist erlaubt");
        QTest::newRow("without a target")
            << QJsonObject{{QStringLiteral("/start"), to(302, QString())}}
            << QStringLiteral("nennt aber kein Ziel");
    }
    void redirectsAreFollowedOnlyToHttps() {
        QFETCH(QJsonObject, routes);
        QFETCH(QString, error);
        WebTestServer web;
        QVERIFY2(web.start(QJsonObject{{QStringLiteral("routes"), routes}}),
                 qPrintable(web.errorText()));
        QVERIFY(web.put(QStringLiteral("/secure/file"), kNewProgram));
        QBuffer sink;
        sink.open(QIODevice::WriteOnly);
        HttpsRequest request;
        request.url = web.base() + QStringLiteral("/start");
        request.caFile = web.caFile();
        request.sink = &sink;
        const HttpsResult result = httpsGet(request);
        if (error.isEmpty()) {
            QVERIFY2(result.ok, qPrintable(result.error));
            QCOMPARE(sink.data(), kNewProgram); // no redirect's body in it
        } else {
            QVERIFY(!result.ok);
            QVERIFY2(result.error.contains(error), qPrintable(result.error));
            QVERIFY(!web.paths().contains(QStringLiteral("/secure/file")));
            QCOMPARE(sink.data(), QByteArray());
        }
    }

    // The maker's tool (OpenSSL's command line) makes a key, a control file and signatures that
    // the program accepts; it refuses a file an update may not replace, and a second key.
    void makersToolSignsWhatTheProgramAccepts() {
        const QString tool = qEnvironmentVariable("ORVEL_TEST_SERVERS") +
                             QStringLiteral("/../../scripts/sign-update");
        const auto run = [&tool](const QStringList& arguments, QByteArray* out = nullptr) {
            QProcess p;
            p.start(tool, arguments);
            if (!p.waitForFinished(60000))
                return -1;
            if (out)
                *out = p.readAllStandardOutput().trimmed();
            return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        };
        TempFolder keys;
        TempFolder release;
        TempFolder published;
        QByteArray hex;
        QCOMPARE(run({QStringLiteral("key"), keys.path()}, &hex), 0);
        const UpdateKey key = UpdateKey::fromHex(hex);
        QVERIFY2(key.isSet(), hex.constData());
        const QString privateKey = keys.file(QStringLiteral("update-signing.key"));
        QCOMPARE(modeOf(privateKey), 0600);
        const QByteArray first = readAll(privateKey);
        QVERIFY(run({QStringLiteral("key"), keys.path()}) != 0);
        QCOMPARE(readAll(privateKey), first);

        QVERIFY(writeFile(release.file(QStringLiteral("OrvelSQLBackup")), kNewProgram));
        QVERIFY(writeFile(release.file(QStringLiteral("libtgputtylib.so")), kNewLibrary));
        QVERIFY(writeFile(release.file(QStringLiteral("sqlback.mdb")), "x"));
        QVERIFY(run({QStringLiteral("control"), privateKey, QStringLiteral("4.0.1.0"),
                     published.path(), release.file(QStringLiteral("sqlback.mdb"))}) != 0);
        // The library among the files needs its version named.
        QVERIFY(run({QStringLiteral("control"), privateKey, QStringLiteral("4.0.1.0"),
                     published.path(), release.file(QStringLiteral("libtgputtylib.so"))}) != 0);
        QCOMPARE(run({QStringLiteral("control"), privateKey, QStringLiteral("4.0.1.0"),
                      published.path(), QStringLiteral("--serial"), QStringLiteral("5"),
                      QStringLiteral("--library-version"), QStringLiteral("0.78.2"),
                      release.file(QStringLiteral("OrvelSQLBackup")),
                      release.file(QStringLiteral("libtgputtylib.so"))}),
                 0);
        const QByteArray control = readAll(published.file(QStringLiteral("orvelsqlbackup.INF")));
        QVERIFY2(control.contains("Serial=5\n") &&
                     control.contains("Expires=" + QDate::currentDate()
                                                       .addDays(90)
                                                       .toString(Qt::ISODate)
                                                       .toLatin1()) &&
                     control.contains(controlFileLibrary(kNewLibrary)),
                 control.constData());
        // A detached signature is made for its kind: the library's passes for nothing else.
        QCOMPARE(run({QStringLiteral("sign"), privateKey,
                      release.file(QStringLiteral("libtgputtylib.so"))}),
                 0);
        const QByteArray librarySignature =
            readAll(release.file(QStringLiteral("libtgputtylib.so.sig")));
        QCOMPARE(librarySignature.size(), 64);
        QVERIFY(key.verifies(UpdateKey::Kind::Library, kNewLibrary, librarySignature));
        QVERIFY(!key.verifies(UpdateKey::Kind::ControlFile, kNewLibrary, librarySignature));
        QVERIFY(!key.verifies(UpdateKey::Kind::ProgramFile, kNewLibrary, librarySignature));
        QVERIFY(!maker().publicKey().verifies(UpdateKey::Kind::Library, kNewLibrary,
                                              librarySignature));

        WebTestServer web;
        QVERIFY2(web.start(), qPrintable(web.errorText()));
        QVERIFY(web.put(kControl, readAll(published.file(QStringLiteral("orvelsqlbackup.INF")))));
        QVERIFY(
            web.put(kSignature, readAll(published.file(QStringLiteral("orvelsqlbackup.INF.sig")))));
        QVERIFY(web.put(kFiles + QStringLiteral("OrvelSQLBackup"), kNewProgram));
        QVERIFY(web.put(kFiles + QStringLiteral("libtgputtylib.so"), kNewLibrary));
        Updating u(web);
        u.update.setVerifyingKey(key);
        QVERIFY(oldFiles(u));
        QVERIFY2(u.update.DoUpdate(), qPrintable(u.text()));
        QCOMPARE(readAll(u.file(QStringLiteral("OrvelSQLBackup"))), kNewProgram);
        QCOMPARE(readAll(u.file(QStringLiteral("libtgputtylib.so"))), kNewLibrary);
        QCOMPARE(readAll(u.file(QStringLiteral("update_serial"))), QByteArray("5\n"));

        // A control file the tool signed with a lower serial is refused from now on.
        QCOMPARE(run({QStringLiteral("control"), privateKey, QStringLiteral("4.0.2.0"),
                      published.path(), QStringLiteral("--serial"), QStringLiteral("4"),
                      release.file(QStringLiteral("OrvelSQLBackup"))}),
                 0);
        QVERIFY(web.put(kControl, readAll(published.file(QStringLiteral("orvelsqlbackup.INF")))));
        QVERIFY(
            web.put(kSignature, readAll(published.file(QStringLiteral("orvelsqlbackup.INF.sig")))));
        u.log.lines.clear();
        u.checks.checkAutomatically();
        QVERIFY2(u.log.lines.last().startsWith(QStringLiteral("Update-Status: Die Steuerdatei hat "
                                                              "die Seriennummer 4,")),
                 qPrintable(u.text()));
        QCOMPARE(readAll(u.file(QStringLiteral("update_serial"))), QByteArray("5\n"));
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
        QTest::newRow("larger than named")
            << QStringLiteral("large")
            << QStringLiteral("größer als erwartet (höchstens 11 Bytes)");
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
        if (kind == QLatin1String("large"))
            served = kNewLibrary + QByteArray(300000, 'x'); // more than the control file says
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
        // An update replaces the executable and the SFTP library, nothing else: a control file
        // that names another file is refused whole, its allowed lines included.
        const QByteArray allowed =
            "Version=4.0.1.0\n" + controlFileEntry(QStringLiteral("OrvelSQLBackup"), kNewProgram);
        QTest::newRow("file name with a folder")
            << QByteArray(allowed + "File=../x;1;00000000;" + QByteArray(64, 'a') + '\n')
            << QStringLiteral("Dateiname \"../x\" ist nicht erlaubt");
        QTest::newRow("the program in a subfolder")
            << QByteArray(allowed + controlFileEntry(QStringLiteral("bin/OrvelSQLBackup"), "x"))
            << QStringLiteral("Dateiname \"bin/OrvelSQLBackup\" ist nicht erlaubt");
        QTest::newRow("the settings file")
            << QByteArray(allowed + controlFileEntry(QStringLiteral("sqlback.mdb"), "x"))
            << QStringLiteral("die Datei \"sqlback.mdb\" darf ein Update nicht ersetzen");
        QTest::newRow("the host keys")
            << QByteArray(allowed + controlFileEntry(QStringLiteral("known_hosts"), "x"))
            << QStringLiteral("die Datei \"known_hosts\" darf ein Update nicht ersetzen");
        QTest::newRow("the INI file")
            << QByteArray(allowed + controlFileEntry(QStringLiteral("OrvelSQLBackup.INI"), "x"))
            << QStringLiteral("die Datei \"OrvelSQLBackup.INI\" darf ein Update nicht ersetzen");
    }
    void checkWithoutControlFileInstallsNothing() {
        QFETCH(QByteArray, control);
        QFETCH(QString, why);
        WebTestServer web;
        QVERIFY2(web.start(), qPrintable(web.errorText()));
        if (!control.isEmpty())
            QVERIFY(putSigned(web, control));
        Updating u(web);
        u.checks.checkAutomatically();
        QCOMPARE(u.log.lines.first(), QStringLiteral("Prüfe auf Update"));
        QVERIFY2(u.log.lines.last().startsWith(QStringLiteral("Update-Status: ")) &&
                     u.log.lines.last().contains(why),
                 qPrintable(u.text()));
        QVERIFY(!u.text().contains(QStringLiteral("Programmversion ist aktuell")));
        QVERIFY(!u.text().contains(QStringLiteral("Installation wird gestartet")));
        QVERIFY(!filesRequested(web));
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
            QVERIFY(putSigned(web, control));
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
                QVERIFY(putSigned(web, "Version=4.0.0.0\n"));
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
        QCOMPARE(web.paths(), (QStringList{kControl, kSignature}));
    }
};

QTEST_GUILESS_MAIN(TestWebUpdate)
#include "tst_webupdate.moc"
