// The commands of the command line program that reach the program's run and its servers: the
// automatic run with the program's exit codes, the connection test, and the settings left alone
// while the window runs.
#include "CliProcess.h"
#include "ClosedPort.h"
#include "FreeTdsTestConfig.h"
#include "FtpTestServer.h"
#include "LineMatch.h"
#include "SettingsFiles.h"
#include "TdsTestServer.h"
#include "TempFolder.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QLockFile>
#include <QRegularExpression>
#include <QTest>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
bool writeIni(const TempFolder& folder) {
    QFile ini(folder.file(QStringLiteral("OrvelSQLBackup.INI")));
    return ini.open(QIODevice::WriteOnly) && ini.write("[OrvelSQLBackup]\r\nInternet=1\r\n") > 0;
}

// The lines of the day file, without their stamps.
QStringList dayFile(const TempFolder& folder) {
    const QDir log(folder.file(QStringLiteral("log")));
    const QStringList days = log.entryList({QStringLiteral("*.txt")}, QDir::Files);
    QStringList lines;
    if (days.size() != 1)
        return lines;
    QFile day(log.filePath(days.first()));
    if (!day.open(QIODevice::ReadOnly))
        return lines;
    for (const QString& line :
         QString::fromLatin1(day.readAll()).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts))
        lines << line.section(QLatin1Char(' '), 2);
    return lines;
}
} // namespace

class TestCliRun : public QObject {
    Q_OBJECT

    static CliResult addJob(const CliProcess& cli, const QString& server,
                            const QByteArray& password) {
        return cli.run({QStringLiteral("job"), QStringLiteral("add"), QStringLiteral("Lager"),
                        QStringLiteral("DBServer=") + server, QStringLiteral("--secret"),
                        QStringLiteral("DBPasswort")},
                       password + '\n');
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY(m_tdsConf.install()); }

    // The night's run: its lines on standard output and in the day file, and the program's exit
    // code: 0 clean, 1 errors counted, 2 settings that could not be opened.
    void run_data() {
        QTest::addColumn<QString>("night");
        QTest::addColumn<int>("code");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("clean") << QStringLiteral("clean") << 0
                               << QStringList{
                                      QStringLiteral("Startparameter: nozip"),
                                      QStringLiteral("Arbeitsprozess beginn für Datenbank: Lager"),
                                      QStringLiteral("Fehleranzahl: 0")};
        QTest::newRow("errors") << QStringLiteral("wrong password") << 1
                                << QStringList{QStringLiteral(
                                       "FEHLER nicht verbunden mit Datenbank: Lager")};
        QTest::newRow("settings not a database")
            << QStringLiteral("junk settings") << 2
            << QStringList{QStringLiteral("FEHLER: Keine Verbindung zur Einstellungsdatenbank"),
                           QStringLiteral("Fehleranzahl: 1")};
    }
    void run() {
        QFETCH(QString, night);
        QFETCH(int, code);
        QFETCH(QStringList, lines);
        TdsTestServer server;
        QVERIFY2(server.start(TdsTestServer::defaultScenario()), qPrintable(server.errorText()));
        TempFolder folder;
        QVERIFY(writeIni(folder));
        CliProcess cli(folder.path());
        if (night == QLatin1String("junk settings")) {
            QFile junk(folder.file(QStringLiteral("sqlback.mdb")));
            QVERIFY(junk.open(QIODevice::WriteOnly));
            junk.write(QByteArray(4096, 'x'));
        } else {
            QCOMPARE(addJob(cli, server.dataSource(),
                            night == QLatin1String("clean") ? "geheim" : "falsch")
                         .code,
                     0);
        }
        QCOMPARE(cli.run({QStringLiteral("status")}).code, 1); // no run recorded yet
        const CliResult r = cli.run({QStringLiteral("run"), QStringLiteral("nozip")});
        QCOMPARE(r.code, code);
        // The run leaves its state for the status command, its exit code included.
        const CliResult status = cli.run({QStringLiteral("status")});
        QCOMPARE(status.code, 0);
        QVERIFY2(status.out.contains(QStringLiteral("Rückgabewert: %1\n").arg(code)),
                 qPrintable(status.out));
        const QStringList expected =
            QStringList{QStringLiteral("Programm startet")} + lines +
            QStringList{QStringLiteral("Installierte Programmversion: 4.0.0.0"),
                        QStringLiteral("Kein Zugriff auf das Internet möglich"),
                        QStringLiteral("Programm wird beendet")};
        QStringList printed;
        for (const QString& line : r.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
            printed << line.section(QLatin1Char(' '), 2);
        QString missing = missingInOrder(printed, expected);
        QVERIFY2(missing.isEmpty(), qPrintable(missing + QLatin1Char('\n') + r.out));
        // The day file begins once the start preparation has made the log folder.
        QStringList inDayFile = expected;
        inDayFile.removeAll(QStringLiteral("Programm startet"));
        inDayFile.removeAll(QStringLiteral("Startparameter: nozip"));
        missing = missingInOrder(dayFile(folder), inDayFile);
        QVERIFY2(missing.isEmpty(), qPrintable(missing));
        // Settings that cannot be opened are never overwritten.
        if (night == QLatin1String("junk settings"))
            QCOMPARE(QFileInfo(folder.file(QStringLiteral("sqlback.mdb"))).size(), 4096);
    }

    // A restore from the command line after a night: as a test, refused over the job's own
    // database, unpacked by hand (and not again over what it unpacked), and wrong calls.
    void restore_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("line"); // printed (stdout or stderr)
        QTest::newRow("test") << QStringList{"restore", "Lager", "--test"} << 0
                              << "Wiederherstellungstest erfolgreich für Datenbank: Lager";
        QTest::newRow("as another, the night's weekday")
            << QStringList{"restore", "Lager", "--as", "Lager_Kopie", "--day", "3", "--from",
                           "local"}
            << 0 << "Integritätsprüfung nach Wiederherstellung erfolgreich für Datenbank: Lager";
        QTest::newRow("own database without --replace")
            << QStringList{"restore", "Lager"} << 2 << "dazu --replace angeben";
        QTest::newRow("a weekday without an archive")
            << QStringList{"restore", "Lager", "--test", "--day", "5", "--from", "local"} << 1
            << "FEHLER beim Wiederherstellungstest für Datenbank: Lager";
        QTest::newRow("unknown job") << QStringList{"restore", "Buch", "--test"} << 2
                                     << "Es gibt keinen Sicherungsauftrag für die Datenbank Buch";
        QTest::newRow("weekday 9") << QStringList{"restore", "Lager", "--day", "9"} << 2
                                   << "--day braucht einen Wochentag von 1 bis 7";
        QTest::newRow("unpack and test at once")
            << QStringList{"restore", "Lager", "--test", "--unpack-to", "x"} << 2
            << "--unpack-to stellt nichts wieder her";
        QTest::newRow("unpack by hand") << QStringList{"restore", "Lager", "--unpack-to", "{hand}"}
                                        << 0 << "Archiv geprüft für Datenbank: Lager";
    }
    void restore() {
        QFETCH(QStringList, arguments);
        QFETCH(int, code);
        QFETCH(QString, line);
        TdsTestServer server;
        QVERIFY2(server.start(TdsTestServer::defaultScenario()), qPrintable(server.errorText()));
        TempFolder folder;
        TempFolder hand;
        QVERIFY(writeIni(folder));
        CliProcess cli(folder.path());
        QCOMPARE(addJob(cli, server.dataSource(), "geheim").code, 0);
        const CliResult night = cli.run({QStringLiteral("run")});
        QVERIFY2(night.out.contains(QStringLiteral("Fehleranzahl: 0")), qPrintable(night.out));
        // The archive carries the night's weekday; the test above names it only by --day 3 and
        // expects it there: make the night's archive a Wednesday's whatever today is.
        const QStringList archives =
            QDir(folder.path()).entryList({QStringLiteral("Lager?.ZIP")}, QDir::Files);
        QCOMPARE(archives.size(), 1);
        if (archives.first() != QLatin1String("Lager3.ZIP"))
            QVERIFY(QFile::rename(folder.file(archives.first()),
                                  folder.file(QStringLiteral("Lager3.ZIP"))));
        arguments.replaceInStrings(QStringLiteral("{hand}"), hand.path());
        const CliResult r = cli.run(arguments);
        QVERIFY2(r.code == code, qPrintable(QString::number(r.code) + r.out + r.err));
        QVERIFY2((r.out + r.err).contains(line), qPrintable(r.out + r.err));
        if (arguments.contains(QStringLiteral("--unpack-to")) && code == 0) {
            QVERIFY(QFileInfo::exists(hand.file(QStringLiteral("Lager.BAK"))));
            QVERIFY(QFileInfo::exists(hand.file(QStringLiteral("Lager.TRN"))));
            // Never over what is there.
            const CliResult again = cli.run(arguments);
            QCOMPARE(again.code, 1);
            QVERIFY2(again.out.contains(QStringLiteral("nicht überschrieben")), qPrintable(again.out));
        }
        // Nothing of a restore stays in the program folder.
        QCOMPARE(QDir(folder.path()).entryList({QStringLiteral("*Wiederherstellung*")},
                                               QDir::Files | QDir::Hidden),
                 QStringList());
    }

    // Root takes its orders from the settings file and the INI file: when another account owns
    // or may write them (or their folder), neither the command line nor the window starts, with
    // the line that names the file and exit code 2; root's own files pass.
    void rootRefusesFilesOfAnotherAccount_data() {
        QTest::addColumn<bool>("window");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("file"); // the file the line names; empty: the run starts
        for (const bool window : {false, true}) {
            const char* entry = window ? "window" : "command line";
            QTest::addRow("%s, INI of another account", entry)
                << window << QStringLiteral("foreign ini") << QStringLiteral("OrvelSQLBackup.INI");
            QTest::addRow("%s, settings of another account", entry)
                << window << QStringLiteral("foreign settings") << QStringLiteral("sqlback.mdb");
            QTest::addRow("%s, folder of another account", entry)
                << window << QStringLiteral("foreign folder") << QString(".");
            QTest::addRow("%s, INI writable by the group", entry)
                << window << QStringLiteral("group ini") << QStringLiteral("OrvelSQLBackup.INI");
            QTest::addRow("%s, root's own files", entry)
                << window << QStringLiteral("own") << QString();
        }
    }
    void rootRefusesFilesOfAnotherAccount() {
        QFETCH(bool, window);
        QFETCH(QString, kind);
        QFETCH(QString, file);
        if (::geteuid() != 0)
            QSKIP("needs root: the check is made only for a run as root (euid 0)");
        if (window && !QFileInfo(CliProcess::window()).isExecutable())
            QSKIP("built without the window");
        TempFolder folder;
        QVERIFY(writeIni(folder));
        CliProcess cli(folder.path());
        QCOMPARE(cli.run({QStringLiteral("jobs")}).code, 0); // makes the settings file as root
        const QByteArray ini = QFile::encodeName(folder.file(QStringLiteral("OrvelSQLBackup.INI")));
        const QByteArray settings = QFile::encodeName(folder.file(QStringLiteral("sqlback.mdb")));
        constexpr uid_t other = 65534;
        if (kind == QLatin1String("foreign ini"))
            QCOMPARE(::chown(ini.constData(), other, other), 0);
        if (kind == QLatin1String("foreign settings"))
            QCOMPARE(::chown(settings.constData(), other, other), 0);
        if (kind == QLatin1String("foreign folder"))
            QCOMPARE(::chown(QFile::encodeName(folder.path()).constData(), other, other), 0);
        if (kind == QLatin1String("group ini"))
            QCOMPARE(::chmod(ini.constData(), 0664), 0);
        const passwd* account = ::getpwuid(other);
        const QString name =
            account ? QString::fromLocal8Bit(account->pw_name) : QString::number(other);
        const QString named =
            file == QLatin1String(".") ? QDir::cleanPath(folder.path()) : folder.file(file);
        const QString line =
            kind.startsWith(QLatin1String("group"))
                ? QStringLiteral("FEHLER: %1 ist für andere Benutzer beschreibbar; als root wird "
                                 "nicht gestartet")
                      .arg(named)
                : QStringLiteral("FEHLER: %1 gehört Benutzer %2; als root wird nicht gestartet")
                      .arg(named, name);

        int code = -1;
        QString err;
        QString out;
        if (!window) {
            const CliResult r = cli.run({QStringLiteral("jobs")});
            code = r.code;
            err = r.err;
            out = r.out;
        } else {
            QVERIFY(QFile::copy(CliProcess::window(), folder.file(QStringLiteral("OrvelSQLBackup"))));
            QProcess p;
            QProcessEnvironment env = cli.environment();
            env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
            p.setProcessEnvironment(env);
            p.start(folder.file(QStringLiteral("OrvelSQLBackup")), {});
            QVERIFY(p.waitForStarted());
            QByteArray printed;
            QDeadlineTimer deadline(30000);
            while (!printed.contains("Programm startet") && !deadline.hasExpired() &&
                   p.state() == QProcess::Running) {
                p.waitForReadyRead(200);
                printed += p.readAllStandardOutput();
            }
            if (p.state() == QProcess::Running) {
                p.kill();
                p.waitForFinished();
            } else {
                code = p.exitCode();
            }
            out = QString::fromUtf8(printed + p.readAllStandardOutput());
            err = QString::fromUtf8(p.readAllStandardError());
        }
        if (file.isEmpty()) {
            QVERIFY2(!err.contains(QStringLiteral("als root wird nicht gestartet")),
                     qPrintable(err));
            if (window)
                QVERIFY2(out.contains(QStringLiteral("Programm startet")), qPrintable(out + err));
            else
                QCOMPARE(code, 0);
            return;
        }
        QCOMPARE(code, 2);
        QVERIFY2(err.split(QLatin1Char('\n')).contains(line), qPrintable(err));
        QVERIFY2(!out.contains(QStringLiteral("Programm startet")), qPrintable(out));
    }

    // The night's run has nobody watching: an FTPS server whose key no authority vouches for is
    // refused at first contact before the login (nothing kept, no further attempt), with the
    // command that accepts the key; accepted so, the next run uploads.
    void ftpsFirstContactAcceptedByHostkey() {
        TdsTestServer sql;
        QVERIFY2(sql.start(TdsTestServer::defaultScenario()), qPrintable(sql.errorText()));
        FtpTestServer ftps;
        QJsonObject scenario = FtpTestServer::defaultScenario();
        scenario[QStringLiteral("tls")] = true;
        scenario[QStringLiteral("tls_min_version")] = QStringLiteral("1.2");
        QVERIFY2(ftps.start(scenario), qPrintable(ftps.errorText()));
        TempFolder folder;
        QVERIFY(writeIni(folder));
        CliProcess cli(folder.path());
        const CliResult added = cli.run(
            {QStringLiteral("job"), QStringLiteral("add"), QStringLiteral("Lager"),
             QStringLiteral("DBServer=") + sql.dataSource(), QStringLiteral("FTP_aktiv=true"),
             QStringLiteral("FTP_SSL=1"), QStringLiteral("FTP_SERVER=127.0.0.1"),
             QStringLiteral("FTP_Port=%1").arg(ftps.port()), QStringLiteral("FTP_Benutzer=backup"),
             QStringLiteral("--secret"), QStringLiteral("DBPasswort"), QStringLiteral("--secret"),
             QStringLiteral("FTP_Passwort")},
            "geheim\ngeheim\n");
        QVERIFY2(added.code == 0, qPrintable(added.err));

        const CliResult refused = cli.run({QStringLiteral("run")});
        QCOMPARE(refused.code, 1);
        static const QRegularExpression command(
            QStringLiteral("orvelsqlbackup-cli hostkey Lager --accept (sha256//[A-Za-z0-9+/=]+)"));
        const QRegularExpressionMatch named = command.match(refused.out);
        QVERIFY2(named.hasMatch(), qPrintable(refused.out));
        QCOMPARE(refused.out.count(QStringLiteral("orvelsqlbackup-cli hostkey")), 1);
        QVERIFY(!QFileInfo::exists(folder.file(QStringLiteral("ftps_known_hosts"))));
        const QStringList commands = ftps.commandLog();
        QVERIFY2(commands.filter(QStringLiteral("USER")).isEmpty() &&
                     commands.filter(QStringLiteral("PASS")).isEmpty(),
                 qPrintable(commands.join(u'\n')));

        const CliResult accepted =
            cli.run({QStringLiteral("hostkey"), QStringLiteral("Lager"),
                     QStringLiteral("--accept"), named.captured(1)});
        QVERIFY2(accepted.code == 0, qPrintable(accepted.out + accepted.err));
        const CliResult night = cli.run({QStringLiteral("run")});
        QVERIFY2(night.code == 0, qPrintable(night.out));
        QVERIFY2(night.out.contains(QStringLiteral("FTP-Prozess erfolgreich für Datenbank: Lager")),
                 qPrintable(night.out));
        QCOMPARE(QDir(ftps.home()).entryList({QStringLiteral("Lager?.ZIP")}, QDir::Files).size(),
                 1);
    }

    // What status makes of the state a run left: per job the archive and the upload's outcome;
    // a damaged state file is said so.
    void status_data() {
        QTest::addColumn<QByteArray>("state");
        QTest::addColumn<int>("code");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("three jobs")
            << QByteArray(R"({"end": "2026-03-14T01:32:05Z", "durationSeconds": 83.5,
            "errors": 1, "exitCode": 1, "jobs": [
            {"job": "Lager", "archiveBytes": 1048576, "uploadAsked": true, "uploaded": true,
             "restoreTestOk": true, "restoreTestEnd": "2026-03-11T01:40:00Z"},
            {"job": "Kasse", "archiveBytes": 2000, "uploadAsked": true, "uploaded": false,
             "restoreTestOk": false, "restoreTestEnd": "2026-03-11T01:45:00Z"},
            {"job": "Buero", "archiveBytes": 0, "uploadAsked": false, "uploaded": false}]})")
            << 0
            << QStringList{QStringLiteral("Dauer 84 s, Fehleranzahl: 1, Rückgabewert: 1"),
                           QStringLiteral("Lager: Archiv 1.048.576 Bytes, Upload OK, "
                                          "Wiederherstellungstest OK (11.03.2026 "),
                           QStringLiteral("Kasse: Archiv 2.000 Bytes, Upload fehlgeschlagen, "
                                          "Wiederherstellungstest fehlgeschlagen (11.03.2026 "),
                           QStringLiteral("Buero: kein Archiv, Upload nicht gewünscht, kein "
                                          "Wiederherstellungstest")};
        QTest::newRow("damaged") << QByteArray("{\"end\": ") << 1
                                 << QStringList{QStringLiteral("Statusdatei ist beschädigt: ")};
    }
    void status() {
        QFETCH(QByteArray, state);
        QFETCH(int, code);
        QFETCH(QStringList, lines);
        TempFolder folder;
        QFile file(folder.file(QStringLiteral("last_run.json")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(state);
        file.close();
        const CliResult r = CliProcess(folder.path()).run({QStringLiteral("status")});
        QCOMPARE(r.code, code);
        for (const QString& line : lines)
            QVERIFY2((r.out + r.err).contains(line), qPrintable(r.out + r.err));
    }

    // Refused while another instance runs, as the program ends then: at once, with 0, before
    // any settings or backup work.
    void runRefusedWhileAnotherInstanceRuns_data() {
        QTest::addColumn<bool>("perUser");
        QTest::newRow("the user's instance") << true;
        QTest::newRow("the folder's window or run") << false;
    }
    void runRefusedWhileAnotherInstanceRuns() {
        QFETCH(bool, perUser);
        TempFolder folder;
        QVERIFY(writeIni(folder));
        CliProcess cli(folder.path());
        QLockFile held(perUser
                           ? cli.tmp() + QStringLiteral("/OrvelSQLBackup-%1.lock").arg(::getuid())
                           : folder.file(QStringLiteral("OrvelSQLBackup.lock")));
        QVERIFY(held.tryLock(0));
        const CliResult r = cli.run({QStringLiteral("run")});
        QCOMPARE(r.code, 0);
        QVERIFY2(r.err.contains(QStringLiteral("Eine andere Instanz läuft bereits")),
                 qPrintable(r.err));
        QVERIFY(r.out.isEmpty());
        QVERIFY(!QFileInfo::exists(folder.file(QStringLiteral("sqlback.mdb"))));
        QVERIFY(!QFileInfo::exists(folder.file(QStringLiteral("log"))));
    }

    void testConnection_data() {
        QTest::addColumn<QByteArray>("password");
        QTest::addColumn<bool>("reachable");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("result");
        QTest::newRow("ok") << QByteArray("geheim") << true << 0 << QStringLiteral("OK");
        QTest::newRow("wrong password")
            << QByteArray("falsch") << true << 1 << QStringLiteral("Erfolglos");
        QTest::newRow("no server")
            << QByteArray("geheim") << false << 1 << QStringLiteral("Erfolglos");
    }
    void testConnection() {
        QFETCH(QByteArray, password);
        QFETCH(bool, reachable);
        QFETCH(int, code);
        QFETCH(QString, result);
        TdsTestServer server;
        QVERIFY2(server.start(TdsTestServer::defaultScenario()), qPrintable(server.errorText()));
        TempFolder folder;
        CliProcess cli(folder.path());
        const QString dataSource =
            reachable ? server.dataSource() : QStringLiteral("127.0.0.1,%1").arg(closedPort());
        QCOMPARE(addJob(cli, dataSource, password).code, 0);
        const CliResult r = cli.run({QStringLiteral("test-connection"), QStringLiteral("Lager")});
        QCOMPARE(r.code, code);
        QCOMPARE(r.out.trimmed(), result);
        QCOMPARE(cli.run({QStringLiteral("test-connection"), QStringLiteral("Kasse")}).code, 2);
    }

    // Without recipients the report mail is not sent, and the command says so by its code.
    void testMailWithoutRecipients() {
        TempFolder folder;
        CliProcess cli(folder.path());
        const CliResult r = cli.run({QStringLiteral("test-mail")});
        QCOMPARE(r.code, 1);
        QVERIFY2(r.out.contains(QStringLiteral("Empfänger-Email-Adresse ist nicht eingetragen")),
                 qPrintable(r.out));
        QVERIFY2(dayFile(folder).contains(
                     QStringLiteral("Empfänger-Email-Adresse ist nicht eingetragen")),
                 qPrintable(dayFile(folder).join(QLatin1Char('\n'))));
    }

    // The window keeps the settings in memory: while it runs, changes from the command line are
    // refused with the reason, and it is told nothing; once it has ended, they go through.
    void changesRefusedWhileTheWindowRuns() {
        if (!QFileInfo(CliProcess::window()).isExecutable())
            QSKIP("built without the window");
        TempFolder folder;
        QVERIFY(writeIni(folder));
        CliProcess cli(folder.path());
        QVERIFY(QFile::copy(CliProcess::window(), folder.file(QStringLiteral("OrvelSQLBackup"))));
        QProcess window;
        QProcessEnvironment env = cli.environment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        window.setProcessEnvironment(env);
        window.start(folder.file(QStringLiteral("OrvelSQLBackup")), {});
        QVERIFY(window.waitForStarted());
        QByteArray out;
        QDeadlineTimer deadline(30000);
        while (!out.contains("Prüfung Internetverbindung unterdrückt") && !deadline.hasExpired()) {
            window.waitForReadyRead(200);
            out += window.readAllStandardOutput();
        }
        QVERIFY2(out.contains("Prüfung Internetverbindung unterdrückt"), out.constData());

        const QStringList args{QStringLiteral("general"), QStringLiteral("set"),
                               QStringLiteral("VersenderName=Neu")};
        CliResult r = cli.run(args);
        QCOMPARE(r.code, 2);
        QVERIFY2(r.err.contains(QStringLiteral("Nicht geändert: das Programmfenster ist geöffnet")),
                 qPrintable(r.err));
        const QString file = folder.file(QStringLiteral("sqlback.mdb"));
        const QString query = QStringLiteral("SELECT VersenderName FROM benutzerdaten");
        QCOMPARE(SettingsFiles::rows(file, query), QStringList{QStringLiteral("NULL")});
        QCOMPARE(cli.run({QStringLiteral("general"), QStringLiteral("show")}).code, 0);
        // A run is refused too, as a second start of the program is.
        QCOMPARE(cli.run({QStringLiteral("run")}).code, 0);

        // The window goes on undisturbed to its own end.
        QVERIFY(window.waitForFinished(60000));
        out += window.readAllStandardOutput();
        QVERIFY2(out.trimmed().endsWith("Programm wird beendet"), out.constData());
        r = cli.run(args);
        QVERIFY2(r.code == 0, qPrintable(r.err));
        QCOMPARE(SettingsFiles::rows(file, query), QStringList{QStringLiteral("Neu")});
    }

private:
    FreeTdsTestConfig m_tdsConf;
};

QTEST_GUILESS_MAIN(TestCliRun)
#include "tst_clirun.moc"
