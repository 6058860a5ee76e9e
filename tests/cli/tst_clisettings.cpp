// The settings commands of the command line program, run as built: every change through the
// window's editing rules, refused changes write nothing, secrets never from the command line,
// export and import as one transaction.
#include "CliProcess.h"
#include "SettingsFiles.h"
#include "TempFolder.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLockFile>
#include <QTest>

#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {
const QString kJobs = QStringLiteral(
    "SELECT DBName, DBServer, DBBenutzer, DBPasswort, ZIP_Dateiname, ZIP_erstellen, FTP_aktiv, "
    "FTP_SERVER, FTP_Benutzer, FTP_Passwort, FTP_Port, FTP_Pfad, FTP_SSL, FTP_Passiv, FTP_Binary "
    "FROM sqldatenbanken ORDER BY DBName");
const QString kGeneral = QStringLiteral(
    "SELECT VersenderName, VersenderEmail, EmpfaengerEmail, OrdnerZIPDateien, ZIP_Passwort "
    "FROM benutzerdaten");

// Everything the settings file holds, for "nothing was written".
QStringList contents(const TempFolder& folder) {
    const QString file = folder.file(QStringLiteral("sqlback.mdb"));
    return SettingsFiles::rows(file, kJobs) + SettingsFiles::rows(file, kGeneral);
}

QJsonObject exported(const CliProcess& cli, bool withSecrets) {
    const CliResult r = cli.run(
        withSecrets ? QStringList{QStringLiteral("export"), QStringLiteral("--with-secrets")}
                    : QStringList{QStringLiteral("export")});
    return QJsonDocument::fromJson(r.out.toUtf8()).object();
}

QByteArray writeFile(const TempFolder& folder, const QString& name, const QByteArray& text) {
    QFile f(folder.file(name));
    if (f.open(QIODevice::WriteOnly))
        f.write(text);
    return f.fileName().toUtf8();
}
} // namespace

class TestCliSettings : public QObject {
    Q_OBJECT

    // Two jobs and general settings, with every secret set, made by the commands themselves.
    void build(const CliProcess& cli) {
        QCOMPARE(cli.run({QStringLiteral("job"), QStringLiteral("add"), QStringLiteral("Lager"),
                          QStringLiteral("DBServer=sql01,1433"), QStringLiteral("--secret"),
                          QStringLiteral("DBPasswort")},
                         "geheim\n")
                     .code,
                 0);
        QCOMPARE(
            cli.run({QStringLiteral("job"), QStringLiteral("add"), QStringLiteral("Kasse"),
                     QStringLiteral("DBServer=sql02"), QStringLiteral("FTP_aktiv=true"),
                     QStringLiteral("FTP_SSL=2"), QStringLiteral("FTP_SERVER=sftp.example.org"),
                     QStringLiteral("FTP_Port=22"), QStringLiteral("FTP_Pfad=/backup/"),
                     QStringLiteral("--secret"), QStringLiteral("DBPasswort"),
                     QStringLiteral("--secret"), QStringLiteral("FTP_Passwort")},
                    "kassenpw\nftp-pw\n")
                .code,
            0);
        QCOMPARE(cli.run({QStringLiteral("general"), QStringLiteral("set"),
                          QStringLiteral("EmpfaengerEmail=Jörg <it@firma.de>; backup@firma.de"),
                          QStringLiteral("VersenderName=Lager Süd"), QStringLiteral("--secret"),
                          QStringLiteral("ZIP_Passwort")},
                         "zip-pw\n")
                     .code,
                 0);
    }

    // The settings build() makes, in the cli's folder.
    void setUp(const CliProcess& cli) {
        QVERIFY(QFile::copy(m_template.file(QStringLiteral("sqlback.mdb")),
                            QDir(cli.folder()).filePath(QStringLiteral("sqlback.mdb"))));
    }

    TempFolder m_template;

private Q_SLOTS:
    void initTestCase() { build(CliProcess(m_template.path())); }

    void help_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("shown");
        QTest::newRow("program") << QStringList{QStringLiteral("--help")} << 0
                                 << QStringLiteral("job add          neuen Auftrag anlegen");
        QTest::newRow("command") << QStringList{QStringLiteral("job"), QStringLiteral("add"),
                                                QStringLiteral("--help")}
                                 << 0 << QStringLiteral("--secret SPALTE");
        QTest::newRow("version") << QStringList{QStringLiteral("version")} << 0
                                 << QStringLiteral("OrvelSQLBackup 4.0.0.0");
        QTest::newRow("no command") << QStringList{} << 2 << QStringLiteral("Befehle:");
        QTest::newRow("unknown command") << QStringList{QStringLiteral("sichern")} << 2
                                         << QStringLiteral("Unbekannter Befehl 'sichern'");
        QTest::newRow("restore without a job") << QStringList{QStringLiteral("restore")} << 2
                                               << QStringLiteral("Kein Auftrag genannt");
        QTest::newRow("restore --help")
            << QStringList{QStringLiteral("restore"), QStringLiteral("--help")} << 0
            << QStringLiteral("--unpack-to DIR");
        QTest::newRow("unknown option")
            << QStringList{QStringLiteral("--verbose"), QStringLiteral("jobs")} << 2
            << QStringLiteral("Unbekannte Option '--verbose'");
        QTest::newRow("missing argument")
            << QStringList{QStringLiteral("job"), QStringLiteral("show")} << 2
            << QStringLiteral("Aufruf: orvelsqlbackup-cli job show NAME");
    }
    void help() {
        QFETCH(QStringList, arguments);
        QFETCH(int, code);
        QFETCH(QString, shown);
        TempFolder folder;
        CliProcess cli(folder.path());
        const CliResult r = cli.run(arguments);
        QCOMPARE(r.code, code);
        QVERIFY2((r.out + r.err).contains(shown), qPrintable(r.out + r.err));
    }

    // Root in a folder that belongs to a service account's group would leave files only root can
    // read, and the account's next run would fail: refused with the account to use.
    void rootInTheAccountsFolderIsRefused() {
        if (::geteuid() != 0)
            QSKIP("needs root");
        TempFolder folder;
        QCOMPARE(::chown(QFile::encodeName(folder.path()).constData(), uid_t(-1), gid_t(65534)), 0);
        CliProcess cli(folder.path());
        const CliResult r = cli.run({QStringLiteral("jobs")});
        QCOMPARE(r.code, 2);
        QVERIFY2(r.err.contains(QStringLiteral("Nicht als root")), qPrintable(r.err));
        QVERIFY(!QFileInfo::exists(folder.file(QStringLiteral("sqlback.mdb"))));
        QCOMPARE(cli.run({QStringLiteral("version")}).code, 0);
    }

    // Without --folder, the settings of the program's own folder, also when it is started
    // through a link elsewhere (/usr/bin/orvelsqlbackup-cli).
    void programFolderThroughALink() {
        TempFolder programFolder;
        TempFolder elsewhere;
        const QString copy = programFolder.file(QStringLiteral("orvelsqlbackup-cli"));
        QVERIFY(QFile::copy(CliProcess::program(), copy));
        const QString link = elsewhere.file(QStringLiteral("orvelsqlbackup-cli"));
        QVERIFY(QFile::link(copy, link));
        QProcess p;
        p.setWorkingDirectory(elsewhere.path());
        p.start(link, {QStringLiteral("jobs")});
        QVERIFY(p.waitForFinished(30000));
        QCOMPARE(p.exitCode(), 0);
        QVERIFY(QFileInfo::exists(programFolder.file(QStringLiteral("sqlback.mdb"))));
        QVERIFY(!QFileInfo::exists(elsewhere.file(QStringLiteral("sqlback.mdb"))));
    }

    void missingFolderIsRefused() {
        const CliResult r =
            CliProcess(QStringLiteral("/nonexistent/orvel")).run({QStringLiteral("jobs")});
        QCOMPARE(r.code, 2);
        QVERIFY2(r.err.contains(QStringLiteral("existiert nicht")), qPrintable(r.err));
    }

    // Add, show, change and remove a job; the list; what the file holds after each step.
    void jobsMainPath() {
        TempFolder folder;
        CliProcess cli(folder.path());
        setUp(cli);
        const QString file = folder.file(QStringLiteral("sqlback.mdb"));
        // A new job gets the new row's defaults; passwords come from standard input.
        QCOMPARE(SettingsFiles::rows(file, kJobs),
                 (QStringList{QStringLiteral("Kasse|sql02|sa|kassenpw|NULL|0|1|sftp.example.org|"
                                             "NULL|ftp-pw|22|/backup/|2|0|0"),
                              QStringLiteral("Lager|sql01,1433|sa|geheim|NULL|0|0|NULL|NULL|NULL|"
                                             "21|NULL|0|0|0")}));

        CliResult r = cli.run({QStringLiteral("jobs")});
        QCOMPARE(r.code, 0);
        const QStringList table = r.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(table.size(), 3);
        QVERIFY(table.at(0).startsWith(QStringLiteral("Datenbank")));
        QCOMPARE(table.at(1).simplified(), QStringLiteral("Lager sql01,1433 aus"));
        QCOMPARE(table.at(2).simplified(),
                 QStringLiteral("Kasse sql02 SFTP sftp.example.org:22 /backup/"));
        // Every protocol by its name, S3 too (whose port 21 becomes 443).
        QCOMPARE(cli.run({QStringLiteral("job"), QStringLiteral("set"), QStringLiteral("Kasse"),
                          QStringLiteral("FTP_SSL=3"), QStringLiteral("FTP_Port=21")})
                     .code,
                 0);
        r = cli.run({QStringLiteral("jobs")});
        QVERIFY2(r.out.contains(QStringLiteral(" S3 ")), qPrintable(r.out));
        QCOMPARE(cli.run({QStringLiteral("job"), QStringLiteral("set"), QStringLiteral("Kasse"),
                          QStringLiteral("FTP_SSL=2"), QStringLiteral("FTP_Port=22")})
                     .code,
                 0);

        r = cli.run({QStringLiteral("job"), QStringLiteral("show"), QStringLiteral("Kasse")});
        QCOMPARE(r.code, 0);
        QVERIFY(r.out.contains(QStringLiteral("DBServer=sql02\n")));
        QVERIFY(r.out.contains(QStringLiteral("DBPasswort=(gespeichert)\n")));
        QVERIFY(r.out.contains(QStringLiteral("FTP_Passwort=(gespeichert)\n")));
        QVERIFY(!r.out.contains(QStringLiteral("kassenpw")) &&
                !r.out.contains(QStringLiteral("ftp-pw")));

        // What show prints, set takes back.
        r = cli.run({QStringLiteral("job"), QStringLiteral("set"), QStringLiteral("Lager"),
                     QStringLiteral("FTP_aktiv=True"), QStringLiteral("FTP_SERVER=ftp.example.org"),
                     QStringLiteral("FTP_Passiv=1"), QStringLiteral("DBName=Lager3")});
        QCOMPARE(r.code, 0);
        QCOMPARE(SettingsFiles::rows(file, kJobs).value(1),
                 QStringLiteral("Lager3|sql01,1433|sa|geheim|NULL|0|1|ftp.example.org|NULL|NULL|"
                                "21|NULL|0|1|0"));
        // An empty value clears the column.
        QCOMPARE(cli.run({QStringLiteral("job"), QStringLiteral("set"), QStringLiteral("Lager3"),
                          QStringLiteral("FTP_SERVER=")})
                     .code,
                 0);
        QVERIFY(
            SettingsFiles::rows(file, kJobs).value(1).contains(QStringLiteral("|1|NULL|NULL|")));

        r = cli.run({QStringLiteral("job"), QStringLiteral("remove"), QStringLiteral("Kasse")});
        QCOMPARE(r.code, 0);
        QCOMPARE(SettingsFiles::rows(file, QStringLiteral("SELECT DBName FROM sqldatenbanken")),
                 QStringList{QStringLiteral("Lager3")});

        r = cli.run({QStringLiteral("general"), QStringLiteral("show")});
        QCOMPARE(r.code, 0);
        QVERIFY(r.out.contains(QStringLiteral("VersenderName=Lager Süd\n")));
        QVERIFY(r.out.contains(QStringLiteral("ZIP_Passwort=(gespeichert)\n")));
        QVERIFY(!r.out.contains(QStringLiteral("ID=")));
    }

    // The rules the window applies when it stores a row.
    void editingRules() {
        TempFolder folder;
        CliProcess cli(folder.path());
        setUp(cli);
        const QString file = folder.file(QStringLiteral("sqlback.mdb"));
        // An archive of its own name: an empty archive name is filled from the database name.
        QCOMPARE(cli.run({QStringLiteral("job"), QStringLiteral("set"), QStringLiteral("Lager"),
                          QStringLiteral("ZIP_erstellen=ja")})
                     .code,
                 0);
        QCOMPARE(SettingsFiles::rows(file, QStringLiteral("SELECT ZIP_Dateiname FROM "
                                                          "sqldatenbanken WHERE DBName='Lager'")),
                 QStringList{QStringLiteral("Lager")});
        // The sender address lower-cased and trimmed; the recipients as typed.
        QCOMPARE(cli.run({QStringLiteral("general"), QStringLiteral("set"),
                          QStringLiteral("VersenderEmail=  Backup@Firma.DE "),
                          QStringLiteral("EmpfaengerEmail= IT@Firma.de ")})
                     .code,
                 0);
        QCOMPARE(SettingsFiles::rows(file, QStringLiteral("SELECT VersenderEmail, EmpfaengerEmail "
                                                          "FROM benutzerdaten")),
                 QStringList{QStringLiteral("backup@firma.de| IT@Firma.de ")});
        // The copy folder: an existing folder, stored as a clean full path.
        QDir().mkpath(folder.file(QStringLiteral("kopie")));
        QCOMPARE(cli.run({QStringLiteral("general"), QStringLiteral("set"),
                          QStringLiteral("OrdnerZIPDateien=") + folder.path() +
                              QStringLiteral("./kopie/")})
                     .code,
                 0);
        QCOMPARE(SettingsFiles::rows(file, QStringLiteral("SELECT OrdnerZIPDateien FROM "
                                                          "benutzerdaten")),
                 QStringList{QDir::cleanPath(folder.file(QStringLiteral("kopie")))});
    }

    // A refused change prints the field's message, writes nothing and ends with 2.
    void refusedChanges_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("message");
        const QString set = QStringLiteral("job set Lager ");
        const auto words = [](const QString& text) { return text.split(QLatin1Char(' ')); };
        QTest::newRow("integer")
            << words(set + QStringLiteral("FTP_Port=21x"))
            << QStringLiteral("'21x' ist kein gültiger Ganzzahlwert für das Feld 'FTP_Port'");
        QTest::newRow("port range") << words(set + QStringLiteral("FTP_Port=70000"))
                                    << QStringLiteral("kein gültiger Port für das Feld 'FTP_Port'");
        QTest::newRow("boolean") << words(set + QStringLiteral("FTP_aktiv=vielleicht"))
                                 << QStringLiteral(
                                        "kein gültiger Wahrheitswert für das Feld 'FTP_aktiv'");
        QTest::newRow("protocol choice") << words(set + QStringLiteral("FTP_SSL=4"))
                                         << QStringLiteral("(erlaubt: 0 FTP, 1 FTPS, 2 SFTP, 3 S3)");
        QTest::newRow("transfer choice")
            << words(set + QStringLiteral("FTP_Binary=2"))
            << QStringLiteral("kein gültiger Wert für das Feld 'FTP_Binary'");
        QTest::newRow("text too long")
            << words(set + QStringLiteral("FTP_Pfad=") + QString(151, QLatin1Char('p')))
            << QStringLiteral("FTP_Pfad");
        QTest::newRow("required left empty")
            << words(set + QStringLiteral("DBServer="))
            << QStringLiteral(
                   "Das Feld 'DBServer' der Tabelle 'sqldatenbanken' darf nicht leer sein");
        QTest::newRow("unknown column")
            << words(set + QStringLiteral("Foo=1")) << QStringLiteral("Unbekannte Spalte 'Foo'");
        QTest::newRow("column in other case") << words(set + QStringLiteral("dbserver=x"))
                                              << QStringLiteral("gemeint ist wohl 'DBServer'");
        QTest::newRow("general column on a job")
            << words(set + QStringLiteral("VersenderName=x"))
            << QStringLiteral("Unbekannte Spalte 'VersenderName'");
        QTest::newRow("no such job") << words(QStringLiteral("job set Buero FTP_Port=22"))
                                     << QStringLiteral("Kein Auftrag 'Buero'");
        QTest::newRow("duplicate name") << words(QStringLiteral("job add Lager DBServer=x"))
                                        << QStringLiteral("Einen Auftrag 'Lager' gibt es schon");
        QTest::newRow("renamed onto another")
            << words(QStringLiteral("job set Kasse DBName=Lager"))
            << QStringLiteral("gibt es schon einen Datensatz mit diesem Wert im Feld 'DBName'");
        QTest::newRow("new job without password")
            << words(QStringLiteral("job add Buero DBServer=x"))
            << QStringLiteral(
                   "Das Feld 'DBPasswort' der Tabelle 'sqldatenbanken' darf nicht leer sein");
        QTest::newRow("last of several refused")
            << words(set + QStringLiteral("FTP_Port=22 FTP_SSL=9")) << QStringLiteral("'FTP_SSL'");
        QTest::newRow("copy folder missing")
            << words(QStringLiteral("general set OrdnerZIPDateien=/nonexistent/kopie"))
            << QStringLiteral("kein vorhandener Ordner");
        QTest::newRow("copy folder relative")
            << words(QStringLiteral("general set OrdnerZIPDateien=log"))
            << QStringLiteral("kein vorhandener Ordner mit vollem Pfad");
        QTest::newRow("table's row number") << words(QStringLiteral("general set ID=5"))
                                            << QStringLiteral("Unbekannte Spalte 'ID'");
        QTest::newRow("no assignment")
            << words(set + QStringLiteral("FTP_Port"))
            << QStringLiteral("'FTP_Port' ist keine Zuweisung SPALTE=WERT");
        QTest::newRow("--secret on no password")
            << words(set + QStringLiteral("--secret DBServer"))
            << QStringLiteral("'DBServer' ist keine Spalte mit einem Passwort");
    }
    void refusedChanges() {
        QFETCH(QStringList, arguments);
        QFETCH(QString, message);
        TempFolder folder;
        QDir().mkdir(folder.file(QStringLiteral("log")));
        CliProcess cli(folder.path());
        setUp(cli);
        const QStringList before = contents(folder);
        const CliResult r = cli.run(arguments);
        QCOMPARE(r.code, 2);
        QVERIFY2(r.err.contains(message), qPrintable(r.err));
        QCOMPARE(contents(folder), before);
    }

    // A password given on the command line is refused with the way to give it; the value is
    // neither stored nor repeated.
    void secretOnTheCommandLine_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("hint");
        QTest::newRow("job set") << QStringList{QStringLiteral("job"), QStringLiteral("set"),
                                                QStringLiteral("Lager"),
                                                QStringLiteral("FTP_Passwort=S3cret!")}
                                 << QStringLiteral(
                                        "orvelsqlbackup-cli job set Lager --secret FTP_Passwort");
        QTest::newRow("job add")
            << QStringList{QStringLiteral("job"), QStringLiteral("add"), QStringLiteral("Buero"),
                           QStringLiteral("DBServer=x"), QStringLiteral("DBPasswort=S3cret!")}
            << QStringLiteral("orvelsqlbackup-cli job add Buero --secret DBPasswort");
        QTest::newRow("general set")
            << QStringList{QStringLiteral("general"), QStringLiteral("set"),
                           QStringLiteral("ZIP_Passwort=S3cret!")}
            << QStringLiteral("orvelsqlbackup-cli general set --secret ZIP_Passwort");
    }
    void secretOnTheCommandLine() {
        QFETCH(QStringList, arguments);
        QFETCH(QString, hint);
        TempFolder folder;
        CliProcess cli(folder.path());
        setUp(cli);
        const QStringList before = contents(folder);
        const CliResult r = cli.run(arguments);
        QCOMPARE(r.code, 2);
        QVERIFY2(r.err.contains(hint), qPrintable(r.err));
        QVERIFY(!(r.out + r.err).contains(QStringLiteral("S3cret!")));
        QCOMPARE(contents(folder), before);
    }

    void secretFromStandardInput() {
        TempFolder folder;
        CliProcess cli(folder.path());
        setUp(cli);
        const QString file = folder.file(QStringLiteral("sqlback.mdb"));
        const QString query =
            QStringLiteral("SELECT FTP_Passwort FROM sqldatenbanken WHERE DBName='Lager'");
        // One line, its line end (also CR LF) not part of it; blanks inside and at the ends are.
        const CliResult r =
            cli.run({QStringLiteral("job"), QStringLiteral("set"), QStringLiteral("Lager"),
                     QStringLiteral("--secret"), QStringLiteral("FTP_Passwort")},
                    " pass wort \r\nnext line\n");
        QCOMPARE(r.code, 0);
        QCOMPARE(SettingsFiles::rows(file, query), QStringList{QStringLiteral(" pass wort ")});
        // No input at all: nothing is stored.
        const CliResult none =
            cli.run({QStringLiteral("job"), QStringLiteral("set"), QStringLiteral("Lager"),
                     QStringLiteral("--secret"), QStringLiteral("FTP_Passwort")});
        QCOMPARE(none.code, 2);
        QVERIFY2(none.err.contains(QStringLiteral("Ende der Eingabe")), qPrintable(none.err));
        QCOMPARE(SettingsFiles::rows(file, query), QStringList{QStringLiteral(" pass wort ")});
    }

    // At a terminal the secret is typed without echo: the prompt shows, the typed text does not.
    void secretFromTerminalIsNotEchoed() {
        TempFolder folder;
        CliProcess cli(folder.path());
        setUp(cli);
        const QByteArray program = CliProcess::program().toLocal8Bit();
        const QByteArray path = folder.path().toLocal8Bit();
        int terminal = -1;
        const pid_t pid = ::forkpty(&terminal, nullptr, nullptr, nullptr);
        QVERIFY(pid >= 0);
        if (pid == 0) {
            ::execl(program.constData(), "orvelsqlbackup-cli", "--folder", path.constData(), "job",
                    "set", "Lager", "--secret", "FTP_Passwort", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        QByteArray shown;
        const auto readUntil = [&](const QByteArray& wanted) {
            QDeadlineTimer deadline(20000);
            while (!shown.contains(wanted) && !deadline.hasExpired()) {
                pollfd p{terminal, POLLIN, 0};
                if (::poll(&p, 1, 200) <= 0)
                    continue;
                char buffer[256];
                const ssize_t n = ::read(terminal, buffer, sizeof buffer);
                if (n <= 0)
                    break; // the program has ended
                shown.append(buffer, n);
            }
            return shown.contains(wanted);
        };
        QVERIFY2(readUntil("FTP_Passwort für Lager: "), shown.constData());
        QCOMPARE(::write(terminal, "tty-geheim\n", 11), ssize_t(11));
        QVERIFY2(readUntil("Auftrag 'Lager' gespeichert"), shown.constData());
        int status = 0;
        QCOMPARE(::waitpid(pid, &status, 0), pid);
        ::close(terminal);
        QVERIFY(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        QVERIFY2(!shown.contains("tty-geheim"), shown.constData());
        QCOMPARE(SettingsFiles::rows(folder.file(QStringLiteral("sqlback.mdb")),
                                     QStringLiteral("SELECT FTP_Passwort FROM sqldatenbanken "
                                                    "WHERE DBName='Lager'")),
                 QStringList{QStringLiteral("tty-geheim")});
    }

    void exportLeavesSecretsOut() {
        TempFolder folder;
        CliProcess cli(folder.path());
        setUp(cli);
        const QJsonObject plain = exported(cli, false);
        QCOMPARE(plain.value(QStringLiteral("format")).toInt(), 1);
        const QJsonObject general = plain.value(QStringLiteral("general")).toObject();
        QCOMPARE(general.keys(),
                 (QStringList{QStringLiteral("EmpfaengerEmail"), QStringLiteral("OrdnerZIPDateien"),
                              QStringLiteral("Port"), QStringLiteral("SMTPSSLTLS"),
                              QStringLiteral("SMTPServer"), QStringLiteral("VersenderBenutzerName"),
                              QStringLiteral("VersenderEmail"), QStringLiteral("VersenderName")}));
        const QJsonArray jobs = plain.value(QStringLiteral("jobs")).toArray();
        QCOMPARE(jobs.size(), 2);
        const QJsonObject kasse = jobs.at(1).toObject();
        QVERIFY(!kasse.contains(QStringLiteral("DBPasswort")));
        QVERIFY(!kasse.contains(QStringLiteral("FTP_Passwort")));
        QCOMPARE(kasse.value(QStringLiteral("FTP_Port")), QJsonValue(22));
        QCOMPARE(kasse.value(QStringLiteral("FTP_aktiv")), QJsonValue(true));
        QCOMPARE(kasse.value(QStringLiteral("FTP_Benutzer")), QJsonValue(QJsonValue::Null));

        const QJsonObject secret = exported(cli, true);
        QCOMPARE(secret.value(QStringLiteral("general"))
                     .toObject()
                     .value(QStringLiteral("ZIP_Passwort")),
                 QJsonValue(QStringLiteral("zip-pw")));
        QCOMPARE(secret.value(QStringLiteral("jobs"))
                     .toArray()
                     .at(1)
                     .toObject()
                     .value(QStringLiteral("FTP_Passwort")),
                 QJsonValue(QStringLiteral("ftp-pw")));
    }

    // export --with-secrets | import - on another machine gives the same settings; a second
    // import of the same file changes nothing.
    void importExportRoundTrip() {
        TempFolder source;
        CliProcess from(source.path());
        setUp(from);
        QDir().mkdir(source.file(QStringLiteral("kopie")));
        QCOMPARE(
            from.run({QStringLiteral("general"), QStringLiteral("set"),
                      QStringLiteral("OrdnerZIPDateien=") + source.file(QStringLiteral("kopie"))})
                .code,
            0);
        const CliResult out =
            from.run({QStringLiteral("export"), QStringLiteral("--with-secrets")});
        QCOMPARE(out.code, 0);

        TempFolder target;
        CliProcess to(target.path());
        CliResult in = to.run({QStringLiteral("import"), QStringLiteral("-")}, out.out.toUtf8());
        QVERIFY2(in.code == 0, qPrintable(in.err));
        QCOMPARE(contents(target), contents(source));
        QCOMPARE(exported(to, true), exported(from, true));
        in = to.run({QStringLiteral("import"), QStringLiteral("-")}, out.out.toUtf8());
        QCOMPARE(in.code, 0);
        QCOMPARE(contents(target), contents(source));
    }

    // A job or column the file leaves out keeps what is stored, secrets included; --prune
    // removes the jobs it does not name.
    void importKeepsWhatIsLeftOut() {
        TempFolder folder;
        CliProcess cli(folder.path());
        setUp(cli);
        const QString file = folder.file(QStringLiteral("sqlback.mdb"));
        const QByteArray json = R"({"format": 1, "jobs": [
            {"DBName": "Kasse", "FTP_Port": 2222},
            {"DBName": "Buero", "DBServer": "sql03", "DBPasswort": "buero-pw"}]})";
        CliResult r =
            cli.run({QStringLiteral("import"),
                     QString::fromUtf8(writeFile(folder, QStringLiteral("a.json"), json))});
        QVERIFY2(r.code == 0, qPrintable(r.err));
        QCOMPARE(
            SettingsFiles::rows(file, kJobs),
            (QStringList{
                QStringLiteral("Buero|sql03|sa|buero-pw|NULL|0|0|NULL|NULL|NULL|21|NULL|0|0|0"),
                QStringLiteral("Kasse|sql02|sa|kassenpw|NULL|0|1|sftp.example.org|NULL|ftp-pw|2222|"
                               "/backup/|2|0|0"),
                QStringLiteral(
                    "Lager|sql01,1433|sa|geheim|NULL|0|0|NULL|NULL|NULL|21|NULL|0|0|0")}));
        QCOMPARE(SettingsFiles::rows(file, kGeneral).value(0).section(QLatin1Char('|'), 4),
                 QStringLiteral("zip-pw"));

        r = cli.run({QStringLiteral("import"), QStringLiteral("--prune"), QStringLiteral("-")},
                    R"({"format": 1, "jobs": [{"DBName": "Kasse"}]})");
        QVERIFY2(r.code == 0, qPrintable(r.err));
        QCOMPARE(SettingsFiles::rows(file, QStringLiteral("SELECT DBName FROM sqldatenbanken")),
                 QStringList{QStringLiteral("Kasse")});
    }

    // All or nothing: a bad file is reported with its place and nothing is written, also when
    // the refusal comes after other rows were already stored.
    void importRefused_data() {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QString>("message");
        QTest::newRow("malformed")
            << QByteArray("{\"format\": 1,\n \"jobs\": [\n  {\"DBName\": \"Kasse\",}\n]}")
            << QStringList{} << QStringLiteral("Zeile 3, Spalte");
        QTest::newRow("not an object")
            << QByteArray("[1, 2]") << QStringList{} << QStringLiteral("kein JSON-Objekt");
        QTest::newRow("format missing") << QByteArray(R"({"jobs": []})") << QStringList{}
                                        << QStringLiteral("format: 1 erwartet");
        QTest::newRow("format 2") << QByteArray(R"({"format": 2, "jobs": []})") << QStringList{}
                                  << QStringLiteral("format: 1 erwartet, gefunden 2");
        QTest::newRow("unknown entry") << QByteArray(R"({"format": 1, "job": []})") << QStringList{}
                                       << QStringLiteral("Unbekannter Eintrag 'job'");
        QTest::newRow("unknown column")
            << QByteArray(R"({"format": 1, "jobs": [{"DBName": "Kasse", "FTP_Host": "x"}]})")
            << QStringList{} << QStringLiteral("jobs[0] (Kasse): Unbekannte Spalte 'FTP_Host'");
        QTest::newRow("text for a number")
            << QByteArray(R"({"format": 1, "jobs": [{"DBName": "Kasse", "FTP_Port": "22"}]})")
            << QStringList{}
            << QStringLiteral("jobs[0] (Kasse).FTP_Port: eine ganze Zahl oder null erwartet, "
                              "gefunden ein Text");
        QTest::newRow("fraction")
            << QByteArray(R"({"format": 1, "jobs": [{"DBName": "Kasse", "FTP_Port": 21.5}]})")
            << QStringList{}
            << QStringLiteral("FTP_Port: eine ganze Zahl oder null erwartet, gefunden 21.5");
        QTest::newRow("number for a flag")
            << QByteArray(R"({"format": 1, "jobs": [{"DBName": "Kasse", "FTP_aktiv": 1}]})")
            << QStringList{} << QStringLiteral("FTP_aktiv: true, false oder null erwartet");
        QTest::newRow("number for text")
            << QByteArray(R"({"format": 1, "general": {"VersenderName": 5}})") << QStringList{}
            << QStringLiteral("general.VersenderName: ein Text oder null erwartet");
        QTest::newRow("job without name")
            << QByteArray(R"({"format": 1, "jobs": [{"DBServer": "x"}]})") << QStringList{}
            << QStringLiteral("jobs[0]: DBName fehlt");
        QTest::newRow("duplicate job")
            << QByteArray(R"({"format": 1, "jobs": [{"DBName": "Kasse"}, {"DBName": "Kasse"}]})")
            << QStringList{} << QStringLiteral("jobs[1] (Kasse): der Auftrag steht mehrfach");
        QTest::newRow("refused half-way")
            << QByteArray(R"({"format": 1, "general": {"VersenderName": "Neu"}, "jobs": [
                {"DBName": "Buero", "DBServer": "sql03", "DBPasswort": "pw"},
                {"DBName": "Kasse", "FTP_Port": 99},
                {"DBName": "Lager", "FTP_SSL": 7}]})")
            << QStringList{QStringLiteral("--prune")}
            << QStringLiteral("jobs[2] (Lager).FTP_SSL: '7' ist kein gültiger Wert");
        QTest::newRow("required missing in new job")
            << QByteArray(
                   R"({"format": 1, "jobs": [{"DBName": "Kasse", "FTP_Port": 99}, {"DBName": "Buero", "DBServer": "sql03"}]})")
            << QStringList{} << QStringLiteral("jobs[1] (Buero): Das Feld 'DBPasswort'");
        QTest::newRow("prune without jobs")
            << QByteArray(R"({"format": 1, "general": {}})")
            << QStringList{QStringLiteral("--prune")} << QStringLiteral("jobs fehlt");
    }
    void importRefused() {
        QFETCH(QByteArray, json);
        QFETCH(QStringList, options);
        QFETCH(QString, message);
        TempFolder folder;
        CliProcess cli(folder.path());
        setUp(cli);
        const QStringList before = contents(folder);
        const CliResult r = cli.run(QStringList{QStringLiteral("import")} + options +
                                        QStringList{QStringLiteral("-")},
                                    json);
        QCOMPARE(r.code, 2);
        QVERIFY2(r.err.contains(message), qPrintable(r.err));
        QVERIFY2(r.err.contains(QStringLiteral("Nichts wurde gespeichert.")), qPrintable(r.err));
        QCOMPARE(contents(folder), before);
    }

    // While the window (or a run) holds the program folder, changes are refused and say why;
    // reading goes on. The window itself is tested in tst_clirun.
    void changesRefusedWhileTheFolderIsHeld() {
        TempFolder folder;
        CliProcess cli(folder.path());
        setUp(cli);
        const QStringList before = contents(folder);
        QLockFile held(folder.file(QStringLiteral("OrvelSQLBackup.lock")));
        QVERIFY(held.tryLock(0));
        const CliResult r = cli.run({QStringLiteral("job"), QStringLiteral("set"),
                                     QStringLiteral("Lager"), QStringLiteral("FTP_Port=22")});
        QCOMPARE(r.code, 2);
        QVERIFY2(r.err.contains(QStringLiteral("Nicht geändert: eine Sicherung läuft")),
                 qPrintable(r.err));
        QCOMPARE(contents(folder), before);
        QCOMPARE(cli.run({QStringLiteral("jobs")}).code, 0);
        held.unlock();
        QCOMPARE(cli.run({QStringLiteral("job"), QStringLiteral("set"), QStringLiteral("Lager"),
                          QStringLiteral("FTP_Port=22")})
                     .code,
                 0);
    }
};

QTEST_GUILESS_MAIN(TestCliSettings)
#include "tst_clisettings.moc"
