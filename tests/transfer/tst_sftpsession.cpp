// The SFTP session over our SFTP library, against the asyncssh test server on 127.0.0.1:
// creation checks with libraries built to fail them, logins, host keys, error texts, the
// stream operations and the streamed download.

#include "ClosedPort.h"
#include "FullDiskDevice.h"
#include "OpenSshTestServer.h"
#include "ScriptServer.h"
#include "SftpFixture.h"

#include <openssl/evp.h>

#include <QBuffer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QTemporaryFile>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

QJsonObject scenario(std::initializer_list<QPair<QString, QJsonValue>> extra = {}) {
    QJsonObject s = SftpTestServer::defaultScenario();
    for (const auto& [key, value] : extra)
        s[key] = value;
    return s;
}

} // namespace

class TestSftpSession : public QObject {
    Q_OBJECT

private slots:
    void creationChecks_data();
    void creationChecks();
    void untrustedLibraryNotLoaded_data();
    void untrustedLibraryNotLoaded();
    void configurationNames();
    void fatalLibraryErrorRaises();
    void knownKeyUploadAndTimestamp();
    void hostKeys_data();
    void hostKeys();
    void knownHostsLinkNotFollowed();
    void knownHostsApartFromLibrary();
    void fourthPasswordRequestRefused();
    void keyboardInteractiveAnswersThroughInput();
    void errorTexts();
    void fileOperations();
    void blockwiseUploadAndMoveEx();
    void uploadThroughProxy_data();
    void uploadThroughProxy();
    void uploadOnSeveralChannelsOverSlowLine();
    void proxyFailures_data();
    void proxyFailures();
    void unreachableServer();
    void connectionDroppedDuringUpload();
    void timestampBefore1970();
    void downloadStreamP_data();
    void downloadStreamP();
    void downloadStreamPOnBuild11UsesDownloadStream();
    void downloadStreamPWriteFailures_data();
    void downloadStreamPWriteFailures();
    void downloadStreamPStalledServer();
    void stalledUploadEndsByTimeout();
    void openSshInterop();
    void openSshWeakAlgorithmsRefused_data();
    void openSshWeakAlgorithmsRefused();
};

void TestSftpSession::creationChecks_data() {
    QTest::addColumn<QString>("fake");
    QTest::addColumn<QString>("error");
    QTest::addColumn<bool>("created");
    const QString sizes = QStringLiteral("ulongsize=4/4,namesize=%1/%2,attrsize=40/40,"
                                         "namessize=%3/%3")
                              .arg(sizeof(fxp_name) + 4)
                              .arg(sizeof(fxp_name))
                              .arg(sizeof(fxp_names));
    // The text names the file it looked for and the system's reason.
    QTest::newRow("missing") << QString()
                             << QStringLiteral("TGPuttyLib is not available (%1libtgputtylib.so: "
                                               "cannot open shared object file: No such file or "
                                               "directory)")
                             << false;
    QTest::newRow("name size") << QStringLiteral("namesize")
                               << QStringLiteral("Invalid tgputtylib.dll: uses different struct "
                                                 "sizes: ") +
                                      sizes
                               << false;
    QTest::newRow("build 7") << QStringLiteral("build7")
                             << QStringLiteral("tgputtylib is too old, its build number is 7, but "
                                               "we need a minimum of 8")
                             << false;
    QTest::newRow("context too large")
        << QStringLiteral("context") << QStringLiteral("Incorrect TTGLibraryContext record size")
        << false;
    QTest::newRow("86 entries") << QStringLiteral("conf86")
                                << QStringLiteral("Possibly tgputtylib version mismatch, it has 86 "
                                                  "config strings, but we expected 85")
                                << true;
}

void TestSftpSession::creationChecks() {
    QFETCH(QString, fake);
    QFETCH(QString, error);
    QFETCH(bool, created);
    SftpFixture f;
    if (error.contains(QStringLiteral("%1")))
        error = error.arg(f.folder.path());
    if (!fake.isEmpty())
        QVERIFY(f.installLibrary(QStringLiteral(FAKE_LIBRARIES "/") + fake));
    else
        TTGPuttySFTP::setLibraryFolder(f.folder.path()); // an empty program folder
    if (!created) {
        try {
            TTGPuttySFTP session(false);
            QFAIL("the session was created");
        } catch (const TGPuttySFTPException&) {
            QFAIL("a creation check failed with the session's own error type");
        } catch (const ProgramError& e) {
            QCOMPARE(e.message(), error);
        }
        return;
    }
    TTGPuttySFTP session(false);
    QCOMPARE(QString::fromUtf8(session.LastMessages()), error);
    // The first operation starts a new list of messages.
    try {
        session.ChangeDir("/");
    } catch (const TGPuttySFTPException&) {
    }
    QVERIFY(!session.LastMessages().contains("Possibly"));
}

// The library's code runs as the program's user (root on a server): a library another account
// could have written, or a link in its place, is not loaded, and the text says why.
void TestSftpSession::untrustedLibraryNotLoaded_data() {
    QTest::addColumn<QString>("how");
    QTest::addColumn<QString>("reason");
    const QString notLoaded = QStringLiteral(", wird nicht geladen");
    QTest::newRow("writable by its group")
        << QStringLiteral("g+w")
        << QStringLiteral(": ist für andere Benutzer beschreibbar") + notLoaded;
    QTest::newRow("writable by others")
        << QStringLiteral("o+w")
        << QStringLiteral(": ist für andere Benutzer beschreibbar") + notLoaded;
    QTest::newRow("another account's")
        << QStringLiteral("chown")
        << QStringLiteral(": gehört weder root noch dem Benutzer des Programms") + notLoaded;
    QTest::newRow("a link in its place") << QStringLiteral("link") << QString();
}

void TestSftpSession::untrustedLibraryNotLoaded() {
    QFETCH(QString, how);
    QFETCH(QString, reason);
    SftpFixture f;
    const QString path = f.folder.file(TTGPuttySFTP::libraryFileName());
    if (how == QLatin1String("link")) {
        QVERIFY(f.installLibrary());
        const QString real = f.folder.file(QStringLiteral("real.so"));
        QVERIFY(QFile::rename(path, real));
        QVERIFY(QFile::link(real, path));
        reason = QStringLiteral("(Die Datei %1 ist eine symbolische Verknüpfung und wird nicht "
                                "geöffnet")
                     .arg(path);
    } else {
        QVERIFY(f.installLibrary());
        const QByteArray name = QFile::encodeName(path);
        struct stat st {};
        QCOMPARE(::stat(name.constData(), &st), 0);
        if (how == QLatin1String("chown")) {
            if (::geteuid() != 0)
                QSKIP("giving a file to another account needs root");
            QCOMPARE(::chown(name.constData(), 65534, 65534), 0);
        } else {
            QCOMPARE(::chmod(name.constData(),
                             st.st_mode | (how == QLatin1String("g+w") ? S_IWGRP : S_IWOTH)),
                     0);
        }
        reason = path + reason;
    }
    try {
        TTGPuttySFTP session(false);
        QFAIL("the library was loaded");
    } catch (const ProgramError& e) {
        QVERIFY2(e.message().startsWith(QStringLiteral("TGPuttyLib is not available (")) &&
                     e.message().endsWith(reason + QLatin1Char(')')),
                 qPrintable(e.message()));
    }
}

void TestSftpSession::configurationNames() {
    SftpFixture f;
    QVERIFY(f.installLibrary());
    TTGPuttySFTP session(false);
    QVERIFY(session.LastMessages().isEmpty());
    QCOMPARE(session.GetPuttyConfIndex(QStringLiteral("PROXY_HOST")),
             session.GetPuttyConfIndex(QStringLiteral("proxy_host")));
    session.setProxyHost("proxy.example");
    session.setProxyPort(3128);
    session.setProxyType(PROXY_HTTP);
    QCOMPARE(session.ProxyHost(), QByteArray("proxy.example"));
    QCOMPARE(session.ProxyPort(), 3128);
    QCOMPARE(session.ProxyType(), PROXY_HTTP);
    QVERIFY_THROWS_EXCEPTION(TGPuttySFTPException,
                             session.GetPuttyConfIndex(QStringLiteral("no_such_name")));
    try {
        session.SetIntegerConfigValue("no_such_name", 1);
    } catch (const TGPuttySFTPException& e) {
        QCOMPARE(e.message(), QStringLiteral("Putty Conf Name Not Found: no_such_name"));
    }
    QVERIFY(session.LibVersion().startsWith(QStringLiteral("tgputtylib build 12 based on PuTTY "
                                                           "Release ")));
}

void TestSftpSession::fatalLibraryErrorRaises() {
    SftpFixture f;
    QVERIFY(f.installLibrary(QStringLiteral(FAKE_LIBRARIES "/fatal")));
    QVERIFY2(f.server.start(scenario()), qPrintable(f.server.errorText()));
    f.seedKnownHost();
    auto s = f.session();
    s->Connect();
    try {
        s->MakeDir("fatal");
        QFAIL("a fatal library error raised nothing");
    } catch (const TGPuttySFTPException& e) {
        QVERIFY2(e.message().startsWith(QStringLiteral("TTGPuttySFTP exception injected fault at "
                                                       "line ")),
                 qPrintable(e.message()));
        QVERIFY2(e.message().endsWith(QStringLiteral("Exports.cpp")), qPrintable(e.message()));
    }
    // The operation ended inside the library; the session goes on.
    s->MakeDir("other");
    QVERIFY(QFileInfo(f.server.home() + QStringLiteral("/other")).isDir());
    s->Disconnect();
    try {
        s->MakeDir("third");
        QFAIL("made a folder without a connection");
    } catch (const TGPuttySFTPException& e) {
        QCOMPARE(e.message(),
                 QStringLiteral("tgsftp_mkdir: Unknown Error.\r\nmkdir: not connected\r\n"));
    }
}

void TestSftpSession::knownKeyUploadAndTimestamp() {
    SftpFixture f;
    QVERIFY(f.installLibrary());
    QVERIFY2(f.server.start(scenario()), qPrintable(f.server.errorText()));
    f.seedKnownHost();
    auto s = f.session();
    s->Connect();
    QVERIFY(s->Connected());
    QCOMPARE(f.hostKeyStatuses, QList<qint32>{0});
    QVERIFY(f.messages.contains("Access granted"));

    // Several MiB so that many writes are in flight and the stream is read at many offsets.
    const QByteArray data = SftpFixture::randomBytes(5 * 1024 * 1024 + 17);
    QBuffer stream;
    stream.setData(data);
    stream.open(QIODevice::ReadOnly);
    qint64 lastProgress = 0;
    s->OnProgress = [&](qint64 bytes, bool up) {
        lastProgress = bytes;
        return up;
    };
    s->UploadStream("upload.bin", &stream, false);
    QCOMPARE(lastProgress, data.size());

    const QDateTime stamp(QDate(2026, 3, 29), QTime(1, 30, 0), Qt::LocalTime);
    fxp_attrs before{};
    s->SetModifiedDate("upload.bin", stamp, false, &before);
    QCOMPARE(qint64(before.size), data.size());
    s->Disconnect();
    QVERIFY(!s->Connected());

    QFile stored(f.server.home() + QStringLiteral("/upload.bin"));
    QVERIFY(stored.open(QIODevice::ReadOnly));
    QVERIFY(stored.readAll() == data);
    QCOMPARE(QFileInfo(stored).lastModified().toSecsSinceEpoch(), stamp.toSecsSinceEpoch());
}

void TestSftpSession::hostKeys_data() {
    QTest::addColumn<QString>("seedKey"); // key stored beforehand ("" = none)
    QTest::addColumn<QString>("serverKey");
    QTest::addColumn<bool>("accept");
    QTest::addColumn<qint32>("status");
    QTest::addColumn<bool>("connected");
    QTest::addColumn<qint32>("nextStatus"); // what the next connection sees
    const QString ed = QStringLiteral("host_key");
    const QString otherEd = QStringLiteral("old_key");
    const QString ecdsa = QStringLiteral("ecdsa_key");
    QTest::newRow("new accepted") << QString() << ed << true << 1 << true << 0;
    QTest::newRow("new refused") << QString() << ed << false << 1 << false << 1;
    QTest::newRow("changed refused") << otherEd << ed << false << 2 << false << 2;
    QTest::newRow("changed accepted") << otherEd << ed << true << 2 << true << 0;
    // A server that offers only a key of another type than the stored one has changed too. (A
    // server that offers only RSA keys is refused before: libssh2 1.10 checks RSA host keys with
    // SHA-1 signatures only.)
    QTest::newRow("other type refused") << ed << ecdsa << false << 2 << false << 2;
    QTest::newRow("other type accepted") << ed << ecdsa << true << 2 << true << 0;
}

void TestSftpSession::hostKeys() {
    QFETCH(QString, seedKey);
    QFETCH(QString, serverKey);
    QFETCH(bool, accept);
    QFETCH(qint32, status);
    QFETCH(bool, connected);
    QFETCH(qint32, nextStatus);
    SftpFixture f;
    QVERIFY(f.installLibrary());
    QJsonObject s0 = scenario();
    s0[QStringLiteral("host_key")] = f.server.hostKeyFile(serverKey);
    QByteArray stored;
    if (!seedKey.isEmpty()) {
        // Another key stored for this port: the server's key has changed.
        QJsonObject other = scenario();
        other[QStringLiteral("host_key")] = f.server.hostKeyFile(seedKey);
        QVERIFY2(f.server.start(other), qPrintable(f.server.errorText()));
        const QByteArray line = f.server.knownHostsLine(seedKey);
        const int oldPort = f.server.port();
        QVERIFY2(f.server.start(s0), qPrintable(f.server.errorText()));
        stored = QByteArray(line).replace(":" + QByteArray::number(oldPort) + " ",
                                          ":" + QByteArray::number(f.server.port()) + " ");
        QFile kh(f.knownHostsFile());
        QVERIFY(kh.open(QIODevice::WriteOnly));
        kh.write(stored);
    } else {
        QVERIFY2(f.server.start(s0), qPrintable(f.server.errorText()));
    }
    f.acceptKey = accept;
    auto s = f.session();
    try {
        s->Connect();
        QVERIFY(connected);
    } catch (const TGPuttySFTPException& e) {
        QVERIFY2(!connected, qPrintable(e.message()));
        QVERIFY2(e.message().startsWith(QStringLiteral("tgsftp_connect: Unknown Error.\r\n")),
                 qPrintable(e.message()));
        QVERIFY(!s->Connected());
    }
    QCOMPARE(f.hostKeyStatuses, QList<qint32>{status});
    const QByteArray offered = serverKey == QLatin1String("ecdsa_key")
                                   ? "ecdsa-sha2-nistp256 SHA256:"
                                   : "ssh-ed25519 SHA256:";
    if (status == TG_HOSTKEY_CHANGED) {
        // OpenSSH's warning, the stored key's fingerprint and the offered one's, last.
        QVERIFY2(f.fingerprint.startsWith("WARNING: REMOTE HOST IDENTIFICATION HAS CHANGED!\r\n"),
                 f.fingerprint.constData());
        QVERIFY2(f.fingerprint.contains("\r\nssh-ed25519 SHA256:"), f.fingerprint.constData());
        QVERIFY2(f.fingerprint.contains("Offered by the server now:\r\n" + offered),
                 f.fingerprint.constData());
    } else {
        QVERIFY2(f.fingerprint.startsWith(offered), f.fingerprint.constData());
    }
    // A refused key leaves the file as it was; an accepted one that replaces a key of its own
    // type leaves no trace of the old one.
    if (!accept)
        QCOMPARE(f.knownHosts(), stored);
    else if (serverKey != QLatin1String("ecdsa_key"))
        QVERIFY(stored.isEmpty() || !f.knownHosts().contains(stored));
    else
        QVERIFY(f.knownHosts().startsWith(stored));
    s.reset();

    f.hostKeyStatuses.clear();
    f.acceptKey = true;
    f.storeKey = false;
    auto again = f.session();
    again->Connect();
    QCOMPARE(f.hostKeyStatuses, QList<qint32>{nextStatus});
}

// A symbolic link planted in known_hosts' place is neither read nor written through: the key
// is asked about as one that could not be checked, and storing it fails with a message naming
// the file, without holding up the connection.
void TestSftpSession::knownHostsLinkNotFollowed() {
    SftpFixture f;
    QVERIFY(f.installLibrary());
    QVERIFY2(f.server.start(scenario()), qPrintable(f.server.errorText()));
    const QString target = f.folder.file(QStringLiteral("elsewhere"));
    QFile t(target);
    QVERIFY(t.open(QIODevice::WriteOnly));
    t.write(f.server.knownHostsLine()); // the right key: it must not be taken from there
    t.close();
    const QByteArray before = f.server.knownHostsLine();
    QVERIFY(QFile::link(target, f.knownHostsFile()));
    auto s = f.session();
    s->Connect();
    QVERIFY(s->Connected());
    QCOMPARE(f.hostKeyStatuses, QList<qint32>{TG_HOSTKEY_UNCHECKED});
    const QByteArray path = QFile::encodeName(f.knownHostsFile());
    QVERIFY2(f.messages.contains("Cannot read " + path + ": it is a symbolic link"),
             f.messages.constData());
    QVERIFY2(f.messages.contains("Cannot store the host key in " + path + ": Cannot read " + path +
                                 ": it is a symbolic link"),
             f.messages.constData());
    QVERIFY(t.open(QIODevice::ReadOnly));
    QCOMPARE(t.readAll(), before);
    QVERIFY(QFileInfo(f.knownHostsFile()).isSymLink());
}

// A session told where known_hosts lies (the data folder, apart from the library's folder that
// only root may write) checks keys against that file and stores them there, never beside the
// library.
void TestSftpSession::knownHostsApartFromLibrary() {
    SftpFixture f;
    QVERIFY(f.installLibrary());
    QVERIFY2(f.server.start(scenario()), qPrintable(f.server.errorText()));
    TempFolder data;
    const QString file = data.file(QStringLiteral("known_hosts"));
    for (const qint32 expected : {TG_HOSTKEY_NEW, TG_HOSTKEY_KNOWN}) {
        f.hostKeyStatuses.clear();
        auto s = f.session();
        s->setKnownHostsFile(file);
        s->Connect();
        QVERIFY(s->Connected());
        s->Disconnect();
        QCOMPARE(f.hostKeyStatuses, QList<qint32>{expected});
    }
    QFile stored(file);
    QVERIFY(stored.open(QIODevice::ReadOnly));
    const QByteArray key = f.server.knownHostsLine().split(' ').value(2).trimmed();
    QVERIFY2(!key.isEmpty() && stored.readAll().contains(key), "the key is not in the file named");
    QVERIFY(!QFile::exists(f.knownHostsFile()));
    const QByteArray path = QFile::encodeName(file);
    QVERIFY2(f.messages.contains("Host key stored in " + path), f.messages.constData());
}

void TestSftpSession::fourthPasswordRequestRefused() {
    SftpFixture f;
    QVERIFY(f.installLibrary());
    QVERIFY2(f.server.start(scenario()), qPrintable(f.server.errorText()));
    f.seedKnownHost();
    auto s = f.session("falsch");
    QVERIFY_THROWS_EXCEPTION(TGPuttySFTPException, s->Connect());
    QVERIFY2(f.messages.contains("Password was rejected, or no password given for "
                                 "backup@127.0.0.1's password: .\r\n"),
             f.messages.constData());
    QCOMPARE(f.server.serverLog().count(QStringLiteral("password login backup: refused")), 3);
    QVERIFY(!f.messages.contains("falsch"));
}

void TestSftpSession::keyboardInteractiveAnswersThroughInput() {
    SftpFixture f;
    QVERIFY(f.installLibrary());
    QVERIFY2(f.server.start(scenario({{QStringLiteral("auth"), QStringLiteral("kbdint")}})),
             qPrintable(f.server.errorText()));
    f.seedKnownHost();
    auto s = f.session();
    int asked = 0;
    s->OnGetInput = [&](bool& cancel) {
        ++asked;
        cancel = false;
        return QByteArray();
    };
    s->Connect();
    QCOMPARE(asked, 1);
    QVERIFY(f.server.serverLog().contains(QStringLiteral("keyboard-interactive login backup: "
                                                         "accepted")));
}

void TestSftpSession::errorTexts() {
    SftpFixture f;
    QVERIFY(f.installLibrary());
    QVERIFY2(f.server.start(scenario()), qPrintable(f.server.errorText()));
    f.seedKnownHost();
    auto s = f.session();
    s->Connect();
    QBuffer stream;
    stream.setData("x");
    stream.open(QIODevice::ReadOnly);
    try {
        s->UploadStream("/no/such/folder/file.zip", &stream, false);
        QFAIL("uploaded into a missing folder");
    } catch (const TGPuttySFTPException& e) {
        QCOMPARE(e.message(), QStringLiteral("tgsftp_putfile: Error 2, No such file"));
    }
    QCOMPARE(s->ErrorCode(), 2);
    // The session is still usable after a failed operation.
    s->MakeDir("made");
    s->ChangeDir("made");
    QCOMPARE(s->WorkDir(), QByteArray("/made"));
    QCOMPARE(s->HomeDir(), QByteArray("/"));
    QVERIFY(QFileInfo(f.server.home() + QStringLiteral("/made")).isDir());
}

void TestSftpSession::fileOperations() {
    SftpFixture f;
    QVERIFY(f.installLibrary());
    QVERIFY2(f.server.start(scenario()), qPrintable(f.server.errorText()));
    f.seedKnownHost();
    const QString home = f.server.home();
    auto s = f.session();
    s->Connect();
    s->MakeDir("dir");
    QTemporaryFile local;
    QVERIFY(local.open());
    local.write("0123456789");
    local.flush();
    s->UploadFile(QFile::encodeName(local.fileName()), "dir/a.txt", false);
    s->UploadFile(QFile::encodeName(local.fileName()), "dir/a.txt", true); // appended
    QCOMPARE(QFileInfo(home + QStringLiteral("/dir/a.txt")).size(), 20);

    QStringList listed;
    s->OnListing = [&](const fxp_names* names) {
        for (int i = 0; i < names->nnames; ++i)
            listed << QString::fromUtf8(names->names[i].filename);
        return true;
    };
    s->ListDir("dir");
    QVERIFY2(listed.contains(QStringLiteral("a.txt")), qPrintable(listed.join(u' ')));

    s->Move("dir/a.txt", "dir/b.txt");
    QVERIFY(QFile::exists(home + QStringLiteral("/dir/b.txt")));
    s->SetUnixMode("dir/b.txt", 0600);
    s->SetFileSize("dir/b.txt", 4);
    fxp_attrs attrs{};
    s->GetStat("dir/b.txt", attrs);
    QCOMPARE(attrs.permissions & 0777, tg_ulong(0600));
    QCOMPARE(attrs.size, quint64(4));

    const QString back = f.folder.file(QStringLiteral("back.txt"));
    s->DownloadFile("dir/b.txt", QFile::encodeName(back), false);
    QFile got(back);
    QVERIFY(got.open(QIODevice::ReadOnly));
    QCOMPARE(got.readAll(), QByteArray("0123"));

    QVERIFY_THROWS_EXCEPTION(TGPuttySFTPException, s->RemoveDir("dir")); // not empty
    s->DeleteFile("dir/b.txt");
    s->RemoveDir("dir");
    QVERIFY(!QFileInfo::exists(home + QStringLiteral("/dir")));
}

// The block primitives write each block at its own offset, also out of order, and MoveEx
// renames with the flags given.
void TestSftpSession::blockwiseUploadAndMoveEx() {
    SftpFixture f;
    QVERIFY(f.installLibrary());
    QVERIFY2(f.server.start(scenario()), qPrintable(f.server.errorText()));
    f.seedKnownHost();
    const QString home = f.server.home();
    auto s = f.session();
    s->Connect();

    const qint32 block = 300 * 1024;
    const QByteArray data = SftpFixture::randomBytes(3 * block);
    constexpr qint32 writeCreateTruncate = 0x02 | 0x08 | 0x10;
    tg_filehandle* fh = s->OpenFile("blocks.bin", writeCreateTruncate, nullptr);
    QVERIFY(fh);
    tg_xfer* xfer = s->xfer_upload_init(fh, 0);
    QVERIFY(xfer);
    QVERIFY(s->xfer_upload_ready(xfer));
    for (int i : {0, 2, 1}) {
        QByteArray piece = data.mid(i * block, block);
        s->xfer_upload_data(xfer, piece.data(), block, quint64(i) * quint64(block));
        QVERIFY(s->xfer_upload_ready(xfer));
    }
    QVERIFY(s->xfer_ensuredone(xfer));
    QVERIFY(s->xfer_done(xfer));
    s->xfer_cleanup(xfer);
    s->CloseFile(fh);
    QVERIFY(!fh);
    QFile remote(home + QStringLiteral("/blocks.bin"));
    QVERIFY(remote.open(QIODevice::ReadOnly));
    QVERIFY(remote.readAll() == data);

    s->MoveEx("blocks.bin", "moved.bin", 0);
    QVERIFY(!QFileInfo::exists(home + QStringLiteral("/blocks.bin")));
    QCOMPARE(QFileInfo(home + QStringLiteral("/moved.bin")).size(), qint64(data.size()));
    QVERIFY_THROWS_EXCEPTION(TGPuttySFTPException, s->MoveEx("blocks.bin", "again.bin", 0));
}

namespace {

struct ProxyCase {
    QString kind = {};             // the test proxy's kind
    TProxyTypes type = PROXY_NONE; // what the session is told
    QByteArray user = {};          // what the session sends
    QByteArray password = {};      // what the session sends
    QByteArray host = "127.0.0.1"; // where the session connects
    qint32 dns = 1;                // proxy_dns
    QString wantUser = {};         // what the proxy wants
    QString wantPassword = {};     // what the proxy wants
    bool refuse = false;           // the proxy refuses every request
    qint32 local = 1;              // proxy_localhost
    qint32 timeoutMs = 10000;      // the session's connection time-out
    bool coalesce = false;         // the proxy's answer shares a packet with what follows
    int delayMs = 0;               // round trip the proxy adds
};

// The session, its server and a test proxy in front of it; local connections use the proxy.
struct ProxyFixture {
    SftpFixture f;
    ScriptServer proxy{QStringLiteral("proxy_server.py")};
    std::unique_ptr<TTGPuttySFTP> s;

    bool start(const ProxyCase& c) {
        if (!f.installLibrary() || !f.server.start(scenario()))
            return false;
        f.seedKnownHost();
        if (!proxy.start(QJsonObject{{QStringLiteral("kind"), c.kind},
                                     {QStringLiteral("user"), c.wantUser},
                                     {QStringLiteral("password"), c.wantPassword},
                                     {QStringLiteral("refuse"), c.refuse},
                                     {QStringLiteral("coalesce"), c.coalesce},
                                     {QStringLiteral("delay_ms"), c.delayMs}}))
            return false;
        s = f.session();
        s->setHostName(c.host);
        s->setProxyType(c.type);
        s->setProxyHost("127.0.0.1");
        s->setProxyPort(proxy.port());
        s->setProxyUserName(c.user);
        s->setProxyPassword(c.password);
        s->SetIntegerConfigValue("proxy_localhost", c.local);
        s->setConnectionTimeoutTicks(c.timeoutMs);
        s->SetIntegerConfigValue("proxy_dns", c.dns);
        return true;
    }
};

} // namespace

Q_DECLARE_METATYPE(ProxyCase)

// Each kind of proxy carries the session to the server: what it was asked for, with which
// login, is what the proxy recorded.
void TestSftpSession::uploadThroughProxy_data() {
    QTest::addColumn<ProxyCase>("proxyCase");
    QTest::addColumn<QString>("request"); // with the server's port appended; empty: none
    const QString socks4 = QStringLiteral("socks4");
    const QString socks5 = QStringLiteral("socks5");
    const QString http = QStringLiteral("http");
    const QString ops = QStringLiteral("ops");
    const QString secret = QStringLiteral("Ts9!x");

    QTest::newRow("SOCKS 4, address")
        << ProxyCase{.kind = socks4, .type = PROXY_SOCKS4, .user = "ops"}
        << QStringLiteral("socks4 127.0.0.1:%1 ops");
    QTest::newRow("SOCKS 4a, name looked up by the proxy")
        << ProxyCase{.kind = socks4, .type = PROXY_SOCKS4, .host = "localhost", .dns = 2}
        << QStringLiteral("socks4 localhost:%1 ");
    QTest::newRow("SOCKS 5, no login")
        << ProxyCase{.kind = socks5, .type = PROXY_SOCKS5, .host = "localhost"}
        << QStringLiteral("socks5 localhost:%1 ");
    QTest::newRow("SOCKS 5, name looked up here")
        << ProxyCase{.kind = socks5, .type = PROXY_SOCKS5, .host = "localhost", .dns = 0}
        << QStringLiteral("socks5 127.0.0.1:%1 ");
    QTest::newRow("SOCKS 5, user and password") << ProxyCase{.kind = socks5,
                                                             .type = PROXY_SOCKS5,
                                                             .user = "ops",
                                                             .password = "Ts9!x",
                                                             .wantUser = ops,
                                                             .wantPassword = secret}
                                                << QStringLiteral("socks5 127.0.0.1:%1 ops");
    QTest::newRow("HTTP, no login")
        << ProxyCase{.kind = http, .type = PROXY_HTTP, .host = "localhost"}
        << QStringLiteral("http localhost:%1 ");
    QTest::newRow("HTTP, basic login") << ProxyCase{.kind = http,
                                                    .type = PROXY_HTTP,
                                                    .user = "ops",
                                                    .password = "Ts9!x",
                                                    .wantUser = ops,
                                                    .wantPassword = secret}
                                       << QStringLiteral("http 127.0.0.1:%1 ops");
    QTest::newRow("SOCKS 5, bound address as a name, greeting in the same packet")
        << ProxyCase{.kind = socks5, .type = PROXY_SOCKS5, .coalesce = true}
        << QStringLiteral("socks5 127.0.0.1:%1 ");
    QTest::newRow("HTTP, 201 with a header line, greeting in the same packet")
        << ProxyCase{.kind = http, .type = PROXY_HTTP, .coalesce = true}
        << QStringLiteral("http 127.0.0.1:%1 ");
    QTest::newRow("local server: direct unless the proxy is to be used for it")
        << ProxyCase{.kind = http, .type = PROXY_HTTP, .refuse = true, .local = 0} << QString();
}

void TestSftpSession::uploadThroughProxy() {
    QFETCH(ProxyCase, proxyCase);
    QFETCH(QString, request);
    ProxyFixture p;
    QVERIFY2(p.start(proxyCase), qPrintable(p.f.server.errorText() + p.proxy.errorText()));
    p.s->Connect();
    const QByteArray data = SftpFixture::randomBytes(200 * 1024);
    QBuffer source;
    source.setData(data);
    QVERIFY(source.open(QIODevice::ReadOnly));
    p.s->UploadStream("via-proxy.bin", &source, false);
    QFile remote(p.f.server.home() + QStringLiteral("/via-proxy.bin"));
    QVERIFY(remote.open(QIODevice::ReadOnly));
    QVERIFY(remote.readAll() == data);
    QCOMPARE(p.proxy.readLines(QStringLiteral("requests.txt")),
             request.isEmpty() ? QStringList() : QStringList{request.arg(p.f.server.port())});
    if (!proxyCase.password.isEmpty())
        QVERIFY(!p.f.messages.contains(proxyCase.password));
}

// A proxy that says no ends the connection with its reason, and never with the password.
// Over a line with a long round trip a new file goes up on several SFTP channels of the one
// connection, each writing segments of the file of its own: the file arrives whole.
void TestSftpSession::uploadOnSeveralChannelsOverSlowLine() {
    ProxyFixture p;
    QVERIFY(
        p.start(ProxyCase{.kind = QStringLiteral("socks5"), .type = PROXY_SOCKS5, .delayMs = 20}));
    p.s->Connect();
    const QByteArray data = SftpFixture::randomBytes(40 * 1024 * 1024 + 5);
    QBuffer source;
    source.setData(data);
    source.open(QIODevice::ReadOnly);
    qint64 lastProgress = 0;
    p.s->OnProgress = [&](qint64 bytes, bool) {
        lastProgress = bytes;
        return true;
    };
    p.s->UploadStream("lanes.bin", &source, false);
    QCOMPARE(lastProgress, data.size());
    p.s->Disconnect();
    QVERIFY2(p.f.server.serverLog().count(QStringLiteral("sftp channel opened")) > 1,
             qPrintable(p.f.server.serverLog()));
    QFile stored(p.f.server.home() + QStringLiteral("/lanes.bin"));
    QVERIFY(stored.open(QIODevice::ReadOnly));
    QVERIFY(stored.readAll() == data);
}

void TestSftpSession::proxyFailures_data() {
    QTest::addColumn<ProxyCase>("proxyCase");
    QTest::addColumn<QString>("reason");
    const QString socks5 = QStringLiteral("socks5");
    const QString http = QStringLiteral("http");
    const QString ops = QStringLiteral("ops");
    const QString secret = QStringLiteral("Ts9!x");

    QTest::newRow("SOCKS 5, wrong password")
        << ProxyCase{.kind = socks5,
                     .type = PROXY_SOCKS5,
                     .user = "ops",
                     .password = "falsch",
                     .wantUser = ops,
                     .wantPassword = secret}
        << QStringLiteral("SOCKS 5 login refused for user ops");
    QTest::newRow("SOCKS 5, login wanted but none set")
        << ProxyCase{.kind = socks5, .type = PROXY_SOCKS5, .wantUser = ops, .wantPassword = secret}
        << QStringLiteral("SOCKS 5 proxy wants a login (set the proxy user name)");
    QTest::newRow("SOCKS 5, target refused")
        << ProxyCase{.kind = socks5, .type = PROXY_SOCKS5, .refuse = true}
        << QStringLiteral("SOCKS 5 request refused (code 5)");
    QTest::newRow("SOCKS 4, refused")
        << ProxyCase{.kind = QStringLiteral("socks4"), .type = PROXY_SOCKS4, .refuse = true}
        << QStringLiteral("SOCKS 4 request refused (code 91)");
    QTest::newRow("HTTP, wrong password")
        << ProxyCase{.kind = http,
                     .type = PROXY_HTTP,
                     .user = "ops",
                     .password = "falsch",
                     .wantUser = ops,
                     .wantPassword = secret}
        << QStringLiteral("HTTP proxy answers: HTTP/1.1 407 Proxy Authentication Required");
    QTest::newRow("proxy silent: the connection time-out ends the wait")
        << ProxyCase{.kind = QStringLiteral("silent"), .type = PROXY_SOCKS5, .timeoutMs = 1500}
        << QStringLiteral("no answer in time");
    QTest::newRow("Telnet proxy") << ProxyCase{.kind = http, .type = PROXY_TELNET}
                                  << QStringLiteral("This proxy type is not supported by this "
                                                    "library (only SOCKS 4, SOCKS 5 and HTTP): 4");
}

void TestSftpSession::proxyFailures() {
    QFETCH(ProxyCase, proxyCase);
    QFETCH(QString, reason);
    ProxyFixture p;
    QVERIFY2(p.start(proxyCase), qPrintable(p.f.server.errorText() + p.proxy.errorText()));
    try {
        p.s->Connect();
        QFAIL("connected although the proxy refused");
    } catch (const TGPuttySFTPException& e) {
        QVERIFY2(e.message().contains(reason), qPrintable(e.message()));
        QVERIFY(!e.message().contains(QStringLiteral("falsch")));
    }
    QVERIFY(!p.s->Connected());
    QVERIFY(!p.f.messages.contains("falsch"));
}

void TestSftpSession::unreachableServer() {
    SftpFixture f;
    QVERIFY(f.installLibrary());
    auto s = f.session();
    s->setPort(closedPort());
    try {
        s->Connect();
        QFAIL("connected to a closed port");
    } catch (const TGPuttySFTPException& e) {
        QVERIFY2(e.message().startsWith(QStringLiteral("tgsftp_connect: Unknown Error.\r\n")),
                 qPrintable(e.message()));
        QVERIFY2(e.message().contains(QStringLiteral("Connection refused")),
                 qPrintable(e.message()));
    }
    QVERIFY(!s->Connected());
}

void TestSftpSession::connectionDroppedDuringUpload() {
    SftpFixture f;
    QVERIFY(f.installLibrary());
    QVERIFY2(f.server.start(scenario({{QStringLiteral("drop_after_bytes"), 1024 * 1024}})),
             qPrintable(f.server.errorText()));
    f.seedKnownHost();
    auto s = f.session();
    s->Connect();
    QBuffer stream;
    stream.setData(SftpFixture::randomBytes(4 * 1024 * 1024));
    stream.open(QIODevice::ReadOnly);
    try {
        s->UploadStream("cut.bin", &stream, false);
        QFAIL("a cut connection counted as an upload");
    } catch (const TGPuttySFTPException& e) {
        QVERIFY2(e.message().startsWith(QStringLiteral("tgsftp_putfile: ")),
                 qPrintable(e.message()));
    }
    s->Disconnect(); // on a broken connection: returns, does not hang
}

void TestSftpSession::timestampBefore1970() {
    SftpFixture f;
    QVERIFY(f.installLibrary());
    QVERIFY2(f.server.start(scenario()), qPrintable(f.server.errorText()));
    f.seedKnownHost();
    QFile file(f.server.home() + QStringLiteral("/old.txt"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    auto s = f.session();
    s->Connect();
    s->SetModifiedDate("old.txt", QDateTime(QDate(1960, 1, 1), QTime(0, 0), Qt::UTC), true);
    fxp_attrs attrs{};
    s->GetStat("old.txt", attrs);
    QCOMPARE(attrs.mtime, tg_ulong(0));
}

void TestSftpSession::downloadStreamP_data() {
    QTest::addColumn<bool>("cancelByProgress");
    QTest::addColumn<bool>("abortMidway");
    QTest::addColumn<bool>("append");
    QTest::newRow("whole file") << false << false << false;
    QTest::newRow("appended") << false << false << true;
    QTest::newRow("cancelled by progress") << true << false << false;
    QTest::newRow("aborted") << false << true << false;
}

void TestSftpSession::downloadStreamP() {
    QFETCH(bool, cancelByProgress);
    QFETCH(bool, abortMidway);
    QFETCH(bool, append);
    SftpFixture f;
    QVERIFY(f.installLibrary());
    QVERIFY2(f.server.start(scenario()), qPrintable(f.server.errorText()));
    f.seedKnownHost();
    const QByteArray data = SftpFixture::randomBytes(3 * 1024 * 1024 + 5);
    QFile remote(f.server.home() + QStringLiteral("/down.bin"));
    QVERIFY(remote.open(QIODevice::WriteOnly));
    remote.write(data);
    remote.close();

    auto s = f.session();
    s->Connect();
    s->setTimeoutTicks(500); // below 1000: the download uses, and keeps, 60000
    QBuffer target;
    target.open(QIODevice::ReadWrite);
    const QByteArray prefix = append ? QByteArray("already here") : QByteArray();
    target.write(prefix);
    target.seek(0);
    int progressCalls = 0;
    s->setProgressIntervalMS(-1); // every block reports
    s->OnProgress = [&](qint64, bool up) {
        ++progressCalls;
        if (abortMidway && progressCalls == 2)
            s->setAborted(true);
        return !up && !cancelByProgress;
    };
    QList<QByteArray> checkpoints;
    s->OnCheckpoint = [&](const QByteArray& label, quint8 kind) {
        QCOMPARE(kind, quint8(2));
        checkpoints.append(label);
    };

    if (cancelByProgress) {
        try {
            s->DownloadStreamP("down.bin", &target, false);
            QFAIL("a cancelled download raised nothing");
        } catch (const TGPuttySFTPException& e) {
            QVERIFY2(e.message().startsWith(QStringLiteral("DownloadStreamP: ")),
                     qPrintable(e.message()));
        }
        QVERIFY(f.messages.contains("Canceling ...\r\n"));
        QCOMPARE(progressCalls, 1);
        return;
    }
    s->DownloadStreamP("down.bin", &target, append);
    QCOMPARE(s->TimeoutTicks(), 60000);
    QVERIFY(f.messages.contains("Downloaded "));
    QVERIFY(f.messages.contains(" MB/sec.\r\n"));
    QCOMPARE(checkpoints.first(), QByteArray("psftp_getf"));
    if (abortMidway) {
        QVERIFY(target.data().size() < data.size());
        QVERIFY(data.startsWith(target.data()));
        QVERIFY(!checkpoints.contains("psgetf103") || checkpoints.last() == "psgetf103");
        return;
    }
    QCOMPARE(checkpoints.last(), QByteArray("psgetf103"));
    // Appending resumes: the remote file is read from where the local data ends.
    QVERIFY(target.data() == prefix + data.mid(prefix.size()));
    QVERIFY(progressCalls > 1);
}

void TestSftpSession::downloadStreamPOnBuild11UsesDownloadStream() {
    SftpFixture f;
    QVERIFY(f.installLibrary(QStringLiteral(FAKE_LIBRARIES "/build11")));
    QVERIFY2(f.server.start(scenario()), qPrintable(f.server.errorText()));
    f.seedKnownHost();
    QFile remote(f.server.home() + QStringLiteral("/small.txt"));
    QVERIFY(remote.open(QIODevice::WriteOnly));
    remote.write("eleven");
    remote.close();
    auto s = f.session();
    s->Connect();
    QList<QByteArray> checkpoints;
    s->OnCheckpoint = [&](const QByteArray& label, quint8) { checkpoints.append(label); };
    QBuffer target;
    target.open(QIODevice::ReadWrite);
    s->DownloadStreamP("small.txt", &target, false);
    QCOMPARE(target.data(), QByteArray("eleven"));
    QVERIFY(checkpoints.isEmpty()); // the streamed path reports "psftp_getf" first
    QVERIFY(!f.messages.contains("Downloaded "));
    try {
        s->DownloadStreamP("missing.txt", &target, false);
        QFAIL("downloaded a missing file");
    } catch (const TGPuttySFTPException& e) {
        QVERIFY2(e.message().startsWith(QStringLiteral("tgsftp_getfile: Error 2")),
                 qPrintable(e.message()));
    }
}

void TestSftpSession::downloadStreamPWriteFailures_data() {
    QTest::addColumn<bool>("throwing");
    QTest::addColumn<QString>("error");
    QTest::newRow("write refused") << false << QStringLiteral("error while writing local stream");
    QTest::newRow("write throws") << true << QStringLiteral("disk full");
}

void TestSftpSession::downloadStreamPWriteFailures() {
    QFETCH(bool, throwing);
    QFETCH(QString, error);
    SftpFixture f;
    QVERIFY(f.installLibrary());
    QVERIFY2(f.server.start(scenario()), qPrintable(f.server.errorText()));
    f.seedKnownHost();
    QFile remote(f.server.home() + QStringLiteral("/down.bin"));
    QVERIFY(remote.open(QIODevice::WriteOnly));
    remote.write(SftpFixture::randomBytes(1024 * 1024));
    remote.close();
    auto s = f.session();
    s->Connect();
    FullDiskDevice target(100 * 1024, throwing ? FullDiskDevice::Failure::Throw
                                               : FullDiskDevice::Failure::Result);
    try {
        s->DownloadStreamP("down.bin", &target, false);
        QFAIL("a failing target raised nothing");
    } catch (const TGPuttySFTPException& e) {
        QVERIFY(!throwing);
        QCOMPARE(e.message(), error);
    } catch (const std::runtime_error& e) {
        QVERIFY(throwing);
        QCOMPARE(QString::fromUtf8(e.what()), error);
    }
    // The remote file was closed: the session goes on.
    fxp_attrs attrs{};
    s->GetStat("down.bin", attrs);
    QCOMPARE(attrs.size, quint64(1024 * 1024));
}

void TestSftpSession::downloadStreamPStalledServer() {
    SftpFixture f;
    QVERIFY(f.installLibrary());
    QVERIFY2(f.server.start(scenario({{QStringLiteral("stall_reads_after"), 256 * 1024}})),
             qPrintable(f.server.errorText()));
    f.seedKnownHost();
    QFile remote(f.server.home() + QStringLiteral("/stall.bin"));
    QVERIFY(remote.open(QIODevice::WriteOnly));
    remote.write(SftpFixture::randomBytes(1024 * 1024));
    remote.close();
    auto s = f.session();
    s->Connect();
    s->setTimeoutTicks(1000);
    QBuffer target;
    target.open(QIODevice::ReadWrite);
    QVERIFY_THROWS_EXCEPTION(TGPuttySFTPException, s->DownloadStreamP("stall.bin", &target, false));
    QVERIFY(f.messages.contains("Timeout error, no more data received.\r\n"));
    // What came before the stall is kept.
    QVERIFY(target.data().size() >= 256 * 1024);
    QVERIFY(target.data().size() < 1024 * 1024);
}

// A server that stops answering write requests: the upload ends with the library's reply
// time-out, and the session can be closed without another wait of that length.
void TestSftpSession::stalledUploadEndsByTimeout() {
    SftpFixture f;
    QVERIFY(f.installLibrary());
    QVERIFY2(f.server.start(scenario({{QStringLiteral("stall_writes_after"), 256 * 1024}})),
             qPrintable(f.server.errorText()));
    f.seedKnownHost();
    auto s = f.session();
    s->Connect();
    s->setTimeoutTicks(3000);
    QBuffer source;
    source.setData(SftpFixture::randomBytes(8 * 1024 * 1024));
    source.open(QIODevice::ReadOnly);
    QElapsedTimer clock;
    clock.start();
    try {
        s->UploadStream("stall.bin", &source, false);
        QFAIL("an upload to a stalled server succeeded");
    } catch (const TGPuttySFTPException& e) {
        QVERIFY2(e.message().contains(QStringLiteral("Timeout error, the server did not answer "
                                                     "in time")),
                 qPrintable(e.message()));
    }
    s->Disconnect();
    // One reply time-out, not one per request or one more for closing the file.
    QVERIFY2(clock.elapsed() < 3000 + 4000, qPrintable(QString::number(clock.elapsed())));
}

void TestSftpSession::openSshInterop() {
    if (!OpenSshTestServer::available())
        QSKIP("OpenSSH's sshd is not installed (scripts/setup.sh installs it)");
    SftpFixture f;
    QVERIFY(f.installLibrary());
    OpenSshTestServer sshd;
    QVERIFY2(sshd.start(), qPrintable(sshd.errorText()));
    // Seeded as the README says, with ssh-keyscan; only the server's ed25519 key is kept, so the
    // session must ask the server for that kind of key although it has others.
    QProcess scan;
    scan.start(QStringLiteral("ssh-keyscan"),
               {QStringLiteral("-p"), QString::number(sshd.port()), QStringLiteral("127.0.0.1")});
    QVERIFY(scan.waitForFinished(20000));
    QByteArray seeded;
    for (const QByteArray& line : scan.readAllStandardOutput().split('\n'))
        if (line.contains(" ssh-ed25519 "))
            seeded += line + '\n';
    QVERIFY2(!seeded.isEmpty(), "ssh-keyscan found no ed25519 key");
    QFile kh(f.knownHostsFile());
    QVERIFY(kh.open(QIODevice::WriteOnly));
    kh.write(seeded);
    kh.close();

    auto s = f.session();
    s->setUserName(sshd.user());
    s->setPort(sshd.port());
    s->setKeyfile(QFile::encodeName(sshd.clientKey()));
    s->Connect();
    QCOMPARE(f.hostKeyStatuses, QList<qint32>{0});

    // Enough for the upload to run on several channels, each writing segments of its own.
    const QByteArray data = SftpFixture::randomBytes(40 * 1024 * 1024 + 3);
    QBuffer source;
    source.setData(data);
    source.open(QIODevice::ReadOnly);
    const QByteArray remote = QFile::encodeName(sshd.uploadFolder()) + "/interop.bin";
    s->UploadStream(remote, &source, false);
    const QDateTime stamp(QDate(2025, 12, 24), QTime(18, 0), Qt::LocalTime);
    fxp_attrs arrived{};
    s->SetModifiedDate(remote, stamp, false, &arrived);
    QCOMPARE(qint64(arrived.size), data.size());
    fxp_attrs after{};
    s->GetStat(remote, after);
    QCOMPARE(qint64(after.mtime), stamp.toSecsSinceEpoch());

    QBuffer back;
    back.open(QIODevice::ReadWrite);
    s->DownloadStreamP(remote, &back, false);
    QVERIFY(back.data() == data);
    s->Disconnect();

    // The library's faster counter mode stays its own: in the rest of the process OpenSSL's
    // counter-mode ciphers are still OpenSSL's.
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctr(EVP_CIPHER_CTX_new(),
                                                                        &EVP_CIPHER_CTX_free);
    const unsigned char key[32] = {}, iv[16] = {};
    QCOMPARE(EVP_EncryptInit_ex(ctr.get(), EVP_aes_256_ctr(), nullptr, key, iv), 1);
    QVERIFY(EVP_CIPHER_get0_provider(EVP_CIPHER_CTX_get0_cipher(ctr.get())));

    // A key with a passphrase: the prompt names the key and is answered with KeyPassword.
    auto withPassphrase = f.session("not this one");
    withPassphrase->setUserName(sshd.user());
    withPassphrase->setPort(sshd.port());
    withPassphrase->setKeyfile(QFile::encodeName(sshd.clientKeyWithPassphrase()));
    withPassphrase->setKeyPassword("geheimwort");
    withPassphrase->Connect();
    QVERIFY(withPassphrase->Connected());
}

void TestSftpSession::openSshWeakAlgorithmsRefused_data() {
    QTest::addColumn<QStringList>("serverOptions");
    QTest::addColumn<QString>("message");
    QTest::newRow("RSA host key with SHA-1 signatures only")
        << QStringList{QStringLiteral("--rsa-host-key"), QStringLiteral("--config"),
                       QStringLiteral("HostKeyAlgorithms ssh-rsa")}
        << QStringLiteral("host keys: the server offers only ssh-rsa, this library accepts "
                          "ssh-ed25519,");
    QTest::newRow("block-chaining ciphers only")
        << QStringList{QStringLiteral("--config"),
                       QStringLiteral("Ciphers aes128-cbc,aes256-cbc,3des-cbc")}
        << QStringLiteral("ciphers: the server offers only aes128-cbc,aes256-cbc,3des-cbc, this "
                          "library accepts aes128-ctr,aes192-ctr,aes256-ctr");
}

// A server that offers only algorithms OpenSSH's client no longer uses is refused, and the
// message says what it offered.
void TestSftpSession::openSshWeakAlgorithmsRefused() {
    QFETCH(QStringList, serverOptions);
    QFETCH(QString, message);
    if (!OpenSshTestServer::available())
        QSKIP("OpenSSH's sshd is not installed (scripts/setup.sh installs it)");
    SftpFixture f;
    QVERIFY(f.installLibrary());
    OpenSshTestServer sshd;
    QVERIFY2(sshd.start(serverOptions), qPrintable(sshd.errorText()));
    auto s = f.session();
    s->setUserName(sshd.user());
    s->setPort(sshd.port());
    s->setKeyfile(QFile::encodeName(sshd.clientKey()));
    try {
        s->Connect();
        QFAIL("connected to a server with weak algorithms only");
    } catch (const TGPuttySFTPException& e) {
        QVERIFY2(e.message().contains(QStringLiteral("SSH handshake failed: ")),
                 qPrintable(e.message()));
        QVERIFY2(e.message().contains(QStringLiteral("No algorithm in common with the server (")),
                 qPrintable(e.message()));
        QVERIFY2(e.message().contains(message), qPrintable(e.message()));
    }
    QVERIFY(f.hostKeyStatuses.isEmpty());
}

QTEST_GUILESS_MAIN(TestSftpSession)
#include "tst_sftpsession.moc"
