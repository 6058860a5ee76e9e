// One upload attempt against the FTP/FTPS test server on 127.0.0.1: the log lines and counts of
// each outcome, the path on the server, TLS or nothing, the server's certificate vouched for or
// its key kept at first use, a store that is only done when the whole archive arrived, and no
// cut file left under the archive's name.
#include "FtpTestServer.h"
#include "MemoryLog.h"
#include "TempFolder.h"
#include "platform/ErrorCount.h"
#include "UploadUnderTest.h"
#include "transfer/sftp/TTGPuttySFTP.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

#include <unistd.h>

namespace {
const QString kName = QStringLiteral("Lager3.ZIP");

// An archive with line ends and every byte value, so that any rewriting shows.
QByteArray archiveBytes(int size = 300000) {
    QByteArray data;
    data.reserve(size);
    for (int i = 0; data.size() < size; ++i)
        data.append(i % 7 == 0 ? QByteArray("\r\n") : QByteArray(1, char(i * 31)));
    return data.left(size);
}

struct Fixture {
    TempFolder folder;
    MemoryLog log;
    ErrorCount errors;
    UploadUnderTest upload{log, errors};
    QString archive = folder.file(kName);
    QByteArray content = archiveBytes();

    Fixture() {
        QFile f(archive);
        if (!f.open(QIODevice::WriteOnly) || f.write(content) != content.size())
            qFatal("archive not written");
        // The program folder, where ftps_known_hosts lies.
        TTGPuttySFTP::setLibraryFolder(folder.path());
    }
    QString knownHostsFile() const { return folder.file(QStringLiteral("ftps_known_hosts")); }
    QByteArray knownHosts() const {
        QFile f(knownHostsFile());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    static BackupJob job(const FtpTestServer& server, int ssl = 0, int passive = 1) {
        BackupJob j;
        j.DBName = QStringLiteral("Lager");
        j.FTP_aktiv = true;
        j.FTP_SERVER = QStringLiteral("127.0.0.1");
        j.FTP_Port = server.port();
        j.FTP_Benutzer = QStringLiteral("backup");
        j.FTP_Passwort = QStringLiteral("geheim");
        j.FTP_SSL = ssl;
        j.FTP_Passiv = passive;
        return j;
    }
    static QByteArray remote(const FtpTestServer& server, const QString& relative) {
        QFile f(QDir(server.home()).filePath(relative));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }
};

QStringList successLines() {
    return {QStringLiteral("FTP-Prozess mit Server verbunden für Datenbank: ") + kName,
            QStringLiteral("FTP-Prozess erfolgreich für Datenbank: ") + kName};
}

// The server key's pin as OpenSSL's command line reckons it: SHA-256 of the SubjectPublicKeyInfo.
QByteArray opensslPin(const QString& certificateFile) {
    QProcess p;
    p.start(QStringLiteral("sh"),
            {QStringLiteral("-c"),
             QStringLiteral("openssl x509 -in \"$1\" -pubkey -noout | openssl pkey -pubin -outform "
                            "der | openssl dgst -sha256 -binary | openssl base64 -A"),
             QStringLiteral("sh"), certificateFile});
    if (!p.waitForFinished(30000) || p.exitCode() != 0)
        return QByteArray();
    return "sha256//" + p.readAllStandardOutput().trimmed();
}

QString pinnedLine(const FtpTestServer& server, const QByteArray& pin, const QString& file) {
    return QStringLiteral("Das Zertifikat des FTPS-Servers 127.0.0.1:%1 ist von keiner bekannten "
                          "Zertifizierungsstelle bestätigt; sein Schlüssel %2 wurde beim ersten "
                          "Kontakt in %3 gespeichert und wird künftig verlangt.")
        .arg(server.port())
        .arg(QString::fromLatin1(pin), file);
}

QJsonObject scenario(std::initializer_list<std::pair<QString, QJsonValue>> changes) {
    QJsonObject s = FtpTestServer::defaultScenario();
    for (const auto& [key, value] : changes)
        s[key] = value;
    return s;
}
} // namespace

class TestFtpUpload : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // Stored on the first attempt, byte for byte, where FTP_Pfad puts it; an existing remote file
    // is replaced, never appended to.
    void storesTheArchive_data() {
        QTest::addColumn<int>("ssl");
        QTest::addColumn<int>("passive");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("storedAs");
        QTest::addColumn<bool>("existing");
        QTest::newRow("FTP passive, login folder") << 0 << 1 << ""
                                                   << "Lager3.ZIP" << false;
        QTest::newRow("FTP active") << 0 << 0 << ""
                                    << "Lager3.ZIP" << false;
        QTest::newRow("folder with slash") << 0 << 1 << "/sicherung/"
                                           << "sicherung/Lager3.ZIP" << false;
        QTest::newRow("prefix without slash glues") << 0 << 1 << "backup"
                                                    << "backupLager3.ZIP" << false;
        QTest::newRow("existing file replaced") << 0 << 1 << ""
                                                << "Lager3.ZIP" << true;
        QTest::newRow("FTPS passive") << 1 << 1 << "/sicherung/"
                                      << "sicherung/Lager3.ZIP" << true;
        QTest::newRow("FTPS asked for active goes passive") << 1 << 0 << ""
                                                            << "Lager3.ZIP" << false;
    }
    void storesTheArchive() {
        QFETCH(int, ssl);
        QFETCH(int, passive);
        QFETCH(QString, path);
        QFETCH(QString, storedAs);
        QFETCH(bool, existing);
        FtpTestServer server;
        QVERIFY2(server.start(scenario({{QStringLiteral("tls"), ssl == 1}})),
                 qPrintable(server.errorText()));
        QVERIFY(QDir(server.home()).mkpath(QStringLiteral("sicherung")));
        Fixture f;
        if (existing) {
            QFile old(QDir(server.home()).filePath(storedAs));
            QVERIFY(old.open(QIODevice::WriteOnly));
            old.write(QByteArray(f.content.size() * 2, 'x'));
        }
        BackupJob job = Fixture::job(server, ssl, passive);
        job.FTP_Pfad = path;
        // The connected line is written once the login is accepted, before anything is stored.
        QStringList commandsWhenConnected;
        f.log.onEntry = [&](const QString& line) {
            if (line.startsWith(QStringLiteral("FTP-Prozess mit Server verbunden")))
                commandsWhenConnected = server.commandLog();
        };
        QVERIFY(f.upload.ftphochladen(job, f.archive, kName));
        QVERIFY2(!commandsWhenConnected.filter(QStringLiteral("PASS")).isEmpty(),
                 qPrintable(commandsWhenConnected.join(u'\n')));
        QVERIFY2(commandsWhenConnected.filter(QStringLiteral("STOR")).isEmpty(),
                 qPrintable(commandsWhenConnected.join(u'\n')));
        QStringList expected = successLines();
        if (ssl == 1) // the test server's certificate is self-made: its key is kept
            expected.prepend(
                pinnedLine(server, opensslPin(server.certificateFile()), f.knownHostsFile()));
        QCOMPARE(f.log.lines, expected);
        QCOMPARE(f.errors.value(), 0);
        QVERIFY(Fixture::remote(server, storedAs) == f.content);
        const QStringList commands = server.commandLog();
        QCOMPARE(commands.filter(QStringLiteral("STOR")).size(), 1);
        QVERIFY2(commands.filter(QStringLiteral("TYPE I")).size() == 1,
                 qPrintable(commands.join(u'\n')));
        QCOMPARE(commands.filter(QStringLiteral("CWD")).size(), 0);
        QCOMPARE(commands.filter(QStringLiteral("PROT P")).size(), ssl == 1 ? 1 : 0);
        // FTPS data always goes passive: this libcurl would send active FTPS data in clear.
        const bool active =
            !commands.filter(QRegularExpression(QStringLiteral("^\\S+ (EPRT|PORT) "))).isEmpty();
        QCOMPARE(active, ssl == 0 && passive == 0);
    }

    // Inputs that are missing are logged and counted, and nothing connects.
    void preconditions_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("line");
        QTest::newRow("no archive path")
            << "path"
            << "FEHLER: Ohne ZIP ist FTP nicht möglich für Datenbank: ";
        QTest::newRow("archive missing") << "file"
                                         << "FEHLER: Keine ZIP-Datei vorhanden für Datenbank: ";
        QTest::newRow("no server") << "server"
                                   << "FEHLER: FTP-Server fehlt für Datenbank: ";
    }
    void preconditions() {
        QFETCH(QString, kind);
        QFETCH(QString, line);
        FtpTestServer server;
        QVERIFY2(server.start(FtpTestServer::defaultScenario()), qPrintable(server.errorText()));
        Fixture f;
        BackupJob job = Fixture::job(server);
        QString archive = f.archive;
        if (kind == QLatin1String("path"))
            archive.clear();
        else if (kind == QLatin1String("file"))
            QFile::remove(archive);
        else
            job.FTP_SERVER.clear();
        QVERIFY(!f.upload.ftphochladen(job, archive, kName));
        QCOMPARE(f.log.lines, QStringList{line + kName});
        QCOMPARE(f.errors.value(), 1);
        QVERIFY(server.commandLog().isEmpty());
    }

    // A failed attempt: the client's own message, then the FEHLER line; not counted here.
    void failedAttempts_data() {
        QTest::addColumn<QJsonObject>("behaviour");
        QTest::addColumn<int>("ssl");
        QTest::addColumn<bool>("loggedIn");
        QTest::addColumn<QString>("message");
        QTest::newRow("login refused")
            << scenario({{QStringLiteral("refuse_login"), true}}) << 0 << false << "530";
        QTest::newRow("AUTH refused: nothing in clear")
            << scenario({{QStringLiteral("tls"), true}, {QStringLiteral("refuse_auth"), true}}) << 1
            << false << "TLS ab";
        QTest::newRow("server with nothing newer than TLS 1.1")
            << scenario({{QStringLiteral("tls"), true},
                         {QStringLiteral("tls_max_version"), QStringLiteral("1.1")}})
            << 1 << false << "";
        QTest::newRow("no server on the port") << QJsonObject() << 0 << false << "";
    }
    void failedAttempts() {
        QFETCH(QJsonObject, behaviour);
        QFETCH(int, ssl);
        QFETCH(bool, loggedIn);
        QFETCH(QString, message);
        FtpTestServer server;
        Fixture f;
        BackupJob job;
        if (behaviour.isEmpty()) {
            QVERIFY2(server.start(FtpTestServer::defaultScenario()),
                     qPrintable(server.errorText()));
            job = Fixture::job(server, ssl);
            server.stop();
        } else {
            QVERIFY2(server.start(behaviour), qPrintable(server.errorText()));
            job = Fixture::job(server, ssl);
        }
        QVERIFY(!f.upload.ftphochladen(job, f.archive, kName));
        QCOMPARE(f.log.lines.size(), loggedIn ? 3 : 2);
        QVERIFY2(f.log.lines.first().contains(message), qPrintable(f.log.lines.first()));
        QVERIFY(!f.log.lines.first().isEmpty());
        QCOMPARE(f.log.lines.last(),
                 QStringLiteral("FEHLER bei FTP-Prozess für Datenbank: ") + kName);
        QCOMPARE(f.errors.value(), 0);
        if (ssl == 1) {
            const QStringList commands = server.commandLog();
            QVERIFY2(commands.filter(QStringLiteral("USER")).isEmpty(),
                     qPrintable(commands.join(u'\n')));
            QVERIFY(commands.filter(QStringLiteral("PASS")).isEmpty());
        }
    }

    // The data connection dropped half-way: the attempt fails, the next one stores the archive.
    void cutTransferFailsThenARetryWorks() {
        FtpTestServer server;
        QVERIFY2(server.start(scenario({{QStringLiteral("drop_data_after"), 65536}})),
                 qPrintable(server.errorText()));
        Fixture f;
        const BackupJob job = Fixture::job(server);
        QVERIFY(!f.upload.ftphochladen(job, f.archive, kName));
        QCOMPARE(f.log.lines.last(),
                 QStringLiteral("FEHLER bei FTP-Prozess für Datenbank: ") + kName);
        f.log.lines.clear();
        QVERIFY(f.upload.ftphochladen(job, f.archive, kName));
        QCOMPARE(f.log.lines, successLines());
        QVERIFY(Fixture::remote(server, kName) == f.content);
    }

    // The server answers as if all had arrived but holds less: that is no upload.
    void shortStoreIsAFailure() {
        FtpTestServer server;
        QVERIFY2(server.start(scenario({{QStringLiteral("lose_data_after"), 100000}})),
                 qPrintable(server.errorText()));
        Fixture f;
        const BackupJob job = Fixture::job(server);
        QVERIFY(!f.upload.ftphochladen(job, f.archive, kName));
        QCOMPARE(f.log.lines,
                 (QStringList{
                     QStringLiteral("FTP-Prozess mit Server verbunden für Datenbank: ") + kName,
                     QStringLiteral(
                         "Die Datei ist auf dem FTP-Server unvollständig: 100000 von 300000 Bytes"),
                     QStringLiteral("FEHLER bei FTP-Prozess für Datenbank: ") + kName}));
        QVERIFY(!QFile::exists(QDir(server.home()).filePath(kName))); // the short file went
        f.log.lines.clear();
        QVERIFY(f.upload.ftphochladen(job, f.archive, kName));
        QVERIFY(Fixture::remote(server, kName) == f.content);
    }

    // A store cut on every attempt leaves no file under the archive's name, not even last
    // week's (the STOR replaced it); a removal the server refuses gets its own line and changes
    // nothing else.
    void cutStoreLeavesNoFile_data() {
        QTest::addColumn<int>("ssl");
        QTest::addColumn<bool>("refuseDele");
        QTest::newRow("FTP") << 0 << false;
        QTest::newRow("FTPS") << 1 << false;
        QTest::newRow("FTP, removal refused") << 0 << true;
    }
    void cutStoreLeavesNoFile() {
        QFETCH(int, ssl);
        QFETCH(bool, refuseDele);
        FtpTestServer server;
        QVERIFY2(server.start(scenario({{QStringLiteral("tls"), ssl == 1},
                                        {QStringLiteral("drop_data_after"), 65536},
                                        {QStringLiteral("drop_data_times"), 0},
                                        {QStringLiteral("refuse_dele"), refuseDele}})),
                 qPrintable(server.errorText()));
        Fixture f;
        const QString remote = QDir(server.home()).filePath(kName);
        {
            QFile lastWeek(remote);
            QVERIFY(lastWeek.open(QIODevice::WriteOnly));
            lastWeek.write(f.content);
        }
        const BackupJob job = Fixture::job(server, ssl);
        for (int attempt = 1; attempt <= 2; ++attempt) {
            f.log.lines.clear();
            QVERIFY(!f.upload.ftphochladen(job, f.archive, kName));
            const QString removal =
                QStringLiteral("FEHLER: Die unvollständige Datei Lager3.ZIP konnte nicht vom "
                               "FTP-Server entfernt werden (550 Permission denied.) für "
                               "Datenbank: ") +
                kName;
            QStringList tail{QStringLiteral("FEHLER bei FTP-Prozess für Datenbank: ") + kName};
            if (refuseDele)
                tail << removal;
            QCOMPARE(f.log.lines.mid(f.log.lines.size() - tail.size()), tail);
            QCOMPARE(f.errors.value(), 0);
            if (refuseDele)
                QCOMPARE(QFileInfo(remote).size(), 65536);
            else
                QVERIFY2(!QFile::exists(remote), qPrintable(server.serverLog()));
        }
        // Each removal went over a login of its own, after the store's.
        const QStringList commands = server.commandLog();
        QCOMPARE(commands.filter(QStringLiteral("DELE Lager3.ZIP")).size(), 2);
        QCOMPARE(commands.filter(QStringLiteral("STOR")).size(), 2);
        QCOMPARE(commands.filter(QStringLiteral("USER")).size(), 4);
    }

    // A failure before the STOR, or a STOR the server refuses outright, leaves the server's
    // file alone.
    void storeNeverBegunRemovesNothing_data() {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QJsonValue>("value");
        QTest::newRow("login refused") << "refuse_login" << QJsonValue(true);
        QTest::newRow("STOR refused: disk full")
            << "refuse_stor" << QJsonValue(QStringLiteral("552 Disk full."));
    }
    void storeNeverBegunRemovesNothing() {
        QFETCH(QString, key);
        QFETCH(QJsonValue, value);
        FtpTestServer server;
        QVERIFY2(server.start(scenario({{key, value}})), qPrintable(server.errorText()));
        Fixture f;
        const QString remote = QDir(server.home()).filePath(kName);
        {
            QFile lastWeek(remote);
            QVERIFY(lastWeek.open(QIODevice::WriteOnly));
            lastWeek.write(f.content);
        }
        QVERIFY(!f.upload.ftphochladen(Fixture::job(server), f.archive, kName));
        QVERIFY(Fixture::remote(server, kName) == f.content);
        QVERIFY(server.commandLog().filter(QStringLiteral("DELE")).isEmpty());
    }

    // A certificate that no authority of the system vouches for: its key is kept at first use,
    // the same key passes later without a word, another key is refused before the login.
    void ftpsKeyKeptAtFirstUse() {
        FtpTestServer server;
        QVERIFY2(server.start(scenario({{QStringLiteral("tls"), true}})),
                 qPrintable(server.errorText()));
        Fixture f;
        const BackupJob job = Fixture::job(server, 1);
        const QByteArray pin = opensslPin(server.certificateFile());
        QVERIFY(pin.size() > 20);

        QVERIFY(f.upload.ftphochladen(job, f.archive, kName));
        QCOMPARE(f.log.lines.first(), pinnedLine(server, pin, f.knownHostsFile()));
        const QByteArray kept = "127.0.0.1:" + QByteArray::number(server.port()) + ' ' + pin +
                                " # gespeichert am " +
                                QDate::currentDate().toString(Qt::ISODate).toLatin1() + '\n';
        QCOMPARE(f.knownHosts(), kept);

        f.log.lines.clear();
        QVERIFY(f.upload.ftphochladen(job, f.archive, kName));
        QCOMPARE(f.log.lines, successLines());
        QCOMPARE(f.knownHosts(), kept);

        // Another key stored for the server, among lines of others that stay as they are.
        const QByteArray other = "sha256//" + QByteArray(32, '\x07').toBase64();
        const QByteArray changed = "# kept by hand\nftp.example.org:21 " + pin +
                                   "\n127.0.0.1:" + QByteArray::number(server.port()) + ' ' +
                                   other + '\n';
        {
            QFile file(f.knownHostsFile());
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(changed);
        }
        const int loginsBefore = int(server.commandLog().filter(QStringLiteral("USER")).size());
        f.log.lines.clear();
        QVERIFY(!f.upload.ftphochladen(job, f.archive, kName));
        QCOMPARE(f.log.lines.size(), 2);
        const QString refusal = f.log.lines.first();
        QVERIFY2(
            refusal.startsWith(QStringLiteral("Der Schlüssel des FTPS-Servers 127.0.0.1:%1 hat "
                                              "sich geändert")
                                   .arg(server.port())),
            qPrintable(refusal));
        QVERIFY2(refusal.contains(QString::fromLatin1(other)) &&
                     refusal.contains(QString::fromLatin1(pin)),
                 qPrintable(refusal));
        QVERIFY2(refusal.contains(QStringLiteral("löschen")) &&
                     refusal.contains(f.knownHostsFile()),
                 qPrintable(refusal));
        QCOMPARE(f.log.lines.last(),
                 QStringLiteral("FEHLER bei FTP-Prozess für Datenbank: ") + kName);
        QCOMPARE(server.commandLog().filter(QStringLiteral("USER")).size(), loginsBefore);
        QCOMPARE(f.knownHosts(), changed);
    }

    // Nobody watches (the command line's run, no display): a key no authority vouches for is
    // refused at first contact before the login, nothing is kept, the line names the command that
    // accepts it, and the run makes no further attempt. A certificate an authority vouches for
    // needs nobody.
    void ftpsFirstContactUnattended_data() {
        QTest::addColumn<bool>("authorityInStore");
        QTest::newRow("self-made certificate") << false;
        QTest::newRow("authority in the system's store") << true;
    }
    void ftpsFirstContactUnattended() {
        QFETCH(bool, authorityInStore);
        FtpTestServer server;
        QVERIFY2(server.start(scenario({{QStringLiteral("tls"), true},
                                        {QStringLiteral("certificate_authority"), true}})),
                 qPrintable(server.errorText()));
        Fixture f;
        f.upload.attended = false;
        const QByteArray storeBefore = qgetenv("SSL_CERT_FILE");
        if (authorityInStore)
            qputenv("SSL_CERT_FILE", QFile::encodeName(server.authorityFile()));
        // A job name that is no plain word is quoted for the shell in the command named.
        BackupJob job = Fixture::job(server, 1);
        job.DBName = QStringLiteral("Lager 'Süd'");
        const bool uploaded = f.upload.ftphochladen(job, f.archive, kName);
        if (storeBefore.isNull())
            qunsetenv("SSL_CERT_FILE");
        else
            qputenv("SSL_CERT_FILE", storeBefore);
        const QString lines = f.log.lines.join(u'\n');
        if (authorityInStore) {
            QVERIFY2(uploaded, qPrintable(lines));
            QCOMPARE(f.log.lines, successLines());
            return;
        }
        QVERIFY(!uploaded);
        QVERIFY(f.upload.attempt.keyUnconfirmed);
        QCOMPARE(f.log.lines.size(), 2);
        const QByteArray pin = opensslPin(server.certificateFile());
        QVERIFY(pin.size() > 20);
        const QString refusal = f.log.lines.first();
        QVERIFY2(refusal.startsWith(QStringLiteral("Das Zertifikat des FTPS-Servers 127.0.0.1:%1 "
                                                   "ist von keiner bekannten")
                                        .arg(server.port())),
                 qPrintable(refusal));
        QVERIFY2(refusal.contains(QStringLiteral("die Anmeldung wurde nicht gesendet")) &&
                     refusal.contains(QStringLiteral("orvelsqlbackup-cli hostkey 'Lager '\\''Süd'\\''' "
                                                     "--accept ") +
                                      QString::fromLatin1(pin)),
                 qPrintable(refusal));
        QCOMPARE(f.log.lines.last(),
                 QStringLiteral("FEHLER bei FTP-Prozess für Datenbank: ") + kName);
        QVERIFY(!QFileInfo::exists(f.knownHostsFile()));
        const QStringList commands = server.commandLog();
        QVERIFY2(commands.filter(QStringLiteral("USER")).isEmpty() &&
                     commands.filter(QStringLiteral("PASS")).isEmpty(),
                 qPrintable(commands.join(u'\n')));
        QVERIFY(!QFileInfo::exists(QDir(server.home()).filePath(kName)));
    }

    // A certificate signed by an authority in the system's store and made out to the job's
    // server: accepted, nothing kept. The same certificate without its authority in the store is
    // kept like a self-made one.
    void ftpsCertificateOfAnAuthority_data() {
        QTest::addColumn<bool>("authorityInStore");
        QTest::newRow("authority in the system's store") << true;
        QTest::newRow("authority unknown") << false;
    }
    void ftpsCertificateOfAnAuthority() {
        QFETCH(bool, authorityInStore);
        FtpTestServer server;
        QVERIFY2(server.start(scenario({{QStringLiteral("tls"), true},
                                        {QStringLiteral("certificate_authority"), true}})),
                 qPrintable(server.errorText()));
        Fixture f;
        const QByteArray storeBefore = qgetenv("SSL_CERT_FILE");
        if (authorityInStore)
            qputenv("SSL_CERT_FILE", QFile::encodeName(server.authorityFile()));
        const bool uploaded = f.upload.ftphochladen(Fixture::job(server, 1), f.archive, kName);
        if (storeBefore.isNull())
            qunsetenv("SSL_CERT_FILE");
        else
            qputenv("SSL_CERT_FILE", storeBefore);
        QVERIFY2(uploaded, qPrintable(f.log.lines.join(u'\n')));
        if (authorityInStore) {
            QCOMPARE(f.log.lines, successLines());
            // Only the fact is kept, not the key: a renewed certificate passes.
            const QByteArray marker = "127.0.0.1:" + QByteArray::number(server.port()) +
                                      " ca # gespeichert am " +
                                      QDate::currentDate().toString(Qt::ISODate).toLatin1() + '\n';
            QCOMPARE(f.knownHosts(), marker);
        } else {
            QCOMPARE(f.log.lines.size(), 3);
            QVERIFY(f.knownHosts().contains(opensslPin(server.certificateFile())));
        }
    }

    // A server an authority once vouched for that later shows a certificate no authority
    // vouches for (a man in the middle with one of his own making) is refused before the login,
    // however often it is tried; its key is not kept as a first-use key.
    void ftpsAuthorityOnceThenSelfMadeRefused() {
        FtpTestServer server;
        QVERIFY2(server.start(scenario({{QStringLiteral("tls"), true},
                                        {QStringLiteral("certificate_authority"), true}})),
                 qPrintable(server.errorText()));
        Fixture f;
        const BackupJob job = Fixture::job(server, 1);
        const QByteArray storeBefore = qgetenv("SSL_CERT_FILE");
        qputenv("SSL_CERT_FILE", QFile::encodeName(server.authorityFile()));
        const bool vouched = f.upload.ftphochladen(job, f.archive, kName);
        if (storeBefore.isNull())
            qunsetenv("SSL_CERT_FILE");
        else
            qputenv("SSL_CERT_FILE", storeBefore);
        QVERIFY2(vouched, qPrintable(f.log.lines.join(u'\n')));
        const QByteArray marker = f.knownHosts();
        QVERIFY(marker.contains(" ca # gespeichert am "));

        const int loginsBefore = int(server.commandLog().filter(QStringLiteral("USER")).size());
        for (int attempt = 0; attempt < 2; ++attempt) {
            f.log.lines.clear();
            QVERIFY(!f.upload.ftphochladen(job, f.archive, kName));
            QCOMPARE(f.log.lines.size(), 2);
            const QString refusal = f.log.lines.first();
            QVERIFY2(refusal.startsWith(
                         QStringLiteral("Das Zertifikat des FTPS-Servers 127.0.0.1:%1 war bisher "
                                        "von einer anerkannten Zertifizierungsstelle bestätigt, "
                                        "jetzt nicht mehr")
                             .arg(server.port())),
                     qPrintable(refusal));
            QVERIFY2(refusal.contains(QString::fromLatin1(opensslPin(server.certificateFile()))) &&
                         refusal.contains(QStringLiteral("löschen")) &&
                         refusal.contains(f.knownHostsFile()),
                     qPrintable(refusal));
            QCOMPARE(f.log.lines.last(),
                     QStringLiteral("FEHLER bei FTP-Prozess für Datenbank: ") + kName);
        }
        QCOMPARE(server.commandLog().filter(QStringLiteral("USER")).size(), loginsBefore);
        QCOMPARE(f.knownHosts(), marker);
    }

    // A first-use key that cannot be kept (here: the folder of ftps_known_hosts is gone) would
    // count as new again next time, a stranger's too: the login is not sent, the line names
    // the file.
    void ftpsKeyThatCannotBeKeptRefused() {
        FtpTestServer server;
        QVERIFY2(server.start(scenario({{QStringLiteral("tls"), true}})),
                 qPrintable(server.errorText()));
        Fixture f;
        const QString missing = f.folder.file(QStringLiteral("gone"));
        TTGPuttySFTP::setLibraryFolder(missing);
        QVERIFY(!f.upload.ftphochladen(Fixture::job(server, 1), f.archive, kName));
        QCOMPARE(f.log.lines.size(), 2);
        const QString refusal = f.log.lines.first();
        QVERIFY2(refusal.startsWith(QStringLiteral("FEHLER: ")) &&
                     refusal.contains(missing + QStringLiteral("/ftps_known_hosts")) &&
                     refusal.contains(QString::fromLatin1(opensslPin(server.certificateFile()))),
                 qPrintable(refusal));
        QCOMPARE(f.log.lines.last(),
                 QStringLiteral("FEHLER bei FTP-Prozess für Datenbank: ") + kName);
        QVERIFY(server.commandLog().filter(QStringLiteral("USER")).isEmpty());
    }

    // A link planted in place of ftps_known_hosts is neither read nor written through: the
    // attempt fails before the login, naming the file, and the link's target stays untouched.
    void ftpsKnownHostsLinkRefused() {
        FtpTestServer server;
        QVERIFY2(server.start(scenario({{QStringLiteral("tls"), true}})),
                 qPrintable(server.errorText()));
        Fixture f;
        const QString target = f.folder.file(QStringLiteral("elsewhere"));
        {
            QFile t(target);
            QVERIFY(t.open(QIODevice::WriteOnly));
            t.write("untouched\n");
        }
        QVERIFY(::symlink(QFile::encodeName(target).constData(),
                          QFile::encodeName(f.knownHostsFile()).constData()) == 0);
        QVERIFY(!f.upload.ftphochladen(Fixture::job(server, 1), f.archive, kName));
        QVERIFY2(f.log.lines.first().contains(f.knownHostsFile()), qPrintable(f.log.lines.first()));
        QVERIFY(server.commandLog().filter(QStringLiteral("USER")).isEmpty());
        QFile t(target);
        QVERIFY(t.open(QIODevice::ReadOnly));
        QCOMPARE(t.readAll(), QByteArray("untouched\n"));
        QVERIFY(QFileInfo(f.knownHostsFile()).isSymLink());
    }

    // The archive always travels as binary, whatever FTP_Binary says: a server that converts
    // line ends in ASCII mode gets it byte for byte.
    void alwaysBinary() {
        FtpTestServer server;
        QVERIFY2(server.start(scenario({{QStringLiteral("convert_line_ends"), true}})),
                 qPrintable(server.errorText()));
        Fixture f;
        BackupJob job = Fixture::job(server);
        job.FTP_Binary = 0;
        QVERIFY(f.upload.ftphochladen(job, f.archive, kName));
        QVERIFY(Fixture::remote(server, kName) == f.content);
    }

    // TLS 1.2 or newer, and an FTPS job leaves nothing of its TLS to the plain job after it.
    void ftpsThenFtp() {
        FtpTestServer secure;
        QVERIFY2(
            secure.start(scenario({{QStringLiteral("tls"), true},
                                   {QStringLiteral("tls_min_version"), QStringLiteral("1.2")}})),
            qPrintable(secure.errorText()));
        FtpTestServer plain;
        QVERIFY2(plain.start(FtpTestServer::defaultScenario()), qPrintable(plain.errorText()));
        Fixture f;
        QVERIFY(f.upload.ftphochladen(Fixture::job(secure, 1), f.archive, kName));
        QVERIFY(f.upload.ftphochladen(Fixture::job(plain, 0), f.archive, kName));
        const QStringList secureLog = secure.commandLog();
        QVERIFY2(!secureLog.filter(QStringLiteral("AUTH TLS")).isEmpty(),
                 qPrintable(secureLog.join(u'\n')));
        const QStringList plainLog = plain.commandLog();
        for (const QString& command :
             {QStringLiteral("AUTH"), QStringLiteral("PBSZ"), QStringLiteral("PROT")})
            QVERIFY2(plainLog.filter(command).isEmpty(), qPrintable(plainLog.join(u'\n')));
    }

    void otherProtocols_data() {
        QTest::addColumn<int>("ssl");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("unknown")
            << 7
            << QStringList{
                   QStringLiteral("FEHLER: Unbekanntes Protokoll 7 (FTP_SSL) für Datenbank: ") +
                   kName};
    }
    void otherProtocols() {
        QFETCH(int, ssl);
        QFETCH(QStringList, lines);
        FtpTestServer server;
        QVERIFY2(server.start(FtpTestServer::defaultScenario()), qPrintable(server.errorText()));
        Fixture f;
        QVERIFY(!f.upload.ftphochladen(Fixture::job(server, ssl), f.archive, kName));
        QCOMPARE(f.log.lines, lines);
        QCOMPARE(f.errors.value(), 0);
        QVERIFY(server.commandLog().isEmpty());
    }

    // An SFTP job keeps the port as stored. Pointed at an FTP server (a new job keeps port 21)
    // it goes to the SFTP window, never to the FTP client, and the attempt ends as soon as the
    // server's greeting shows it is no SSH server, not after the connection time-out.
    void sftpJobOnAnFtpServer() {
        FtpTestServer server;
        QVERIFY2(server.start(FtpTestServer::defaultScenario()), qPrintable(server.errorText()));
        Fixture f;
        const QString folder = QFileInfo(f.archive).absolutePath() + QLatin1Char('/');
        QVERIFY(QFile::copy(QStringLiteral(PROGRAM_FOLDER "/libtgputtylib.so"),
                            folder + QStringLiteral("libtgputtylib.so")));
        TTGPuttySFTP::setLibraryFolder(folder);
        QElapsedTimer clock;
        clock.start();
        QVERIFY(!f.upload.ftphochladen(Fixture::job(server, 2), f.archive, kName));
        QVERIFY(clock.elapsed() < 30000);
        QVERIFY2(!f.log.lines.filter(QStringLiteral("not an SSH server")).isEmpty(),
                 qPrintable(f.log.lines.join(QLatin1Char('\n'))));
        QCOMPARE(f.log.lines.first(),
                 QStringLiteral("Starte SFTP-Prozess für Datenbank: ") + kName);
        QCOMPARE(f.log.lines.last(), QStringLiteral("Beende SFTP-Prozess für Datenbank: ") + kName);
        QCOMPARE(f.log.lines.filter(QStringLiteral("FEHLER")).size(), 0); // the session's text only
        QCOMPARE(f.errors.value(), 0);
        QVERIFY(server.commandLog().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestFtpUpload)
#include "tst_ftpupload.moc"
