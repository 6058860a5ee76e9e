// The built program, started the way a scheduler starts it: no display, its own program folder.
#include "ClosedPort.h"
#include "LineMatch.h"
#include "TempFolder.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

namespace {
QString builtProgram() {
    return qEnvironmentVariable("ORVEL_BUILD_DIR") + QStringLiteral("/program/OrvelSQLBackup");
}

// A program folder holding a copy of the executable and an INI file.
bool layOut(const TempFolder& folder, const QByteArray& ini) {
    QFile ini_(folder.file(QStringLiteral("OrvelSQLBackup.INI")));
    if (!ini_.open(QIODevice::WriteOnly) || ini_.write(ini) != ini.size())
        return false;
    return QFile::copy(builtProgram(), folder.file(QStringLiteral("OrvelSQLBackup")));
}

QProcessEnvironment unattended(const QString& tmp) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    env.insert(QStringLiteral("TMPDIR"), tmp); // keeps the one-instance lock apart from other runs
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("de_DE.UTF-8"));
    return env;
}

} // namespace

class TestProgram : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // An instance that died without cleaning up must not turn every later start away.
    void crashedInstanceDoesNotBlockTheNextStart() {
        QTemporaryDir tmp;
        TempFolder folder;
        QVERIFY(layOut(folder, "[OrvelSQLBackup]\r\nInternet=1\r\n"));
        auto startAndWait = [&](QProcess& p) {
            p.setProcessEnvironment(unattended(tmp.path()));
            p.start(folder.file(QStringLiteral("OrvelSQLBackup")), {});
            p.waitForStarted();
            QByteArray out;
            QDeadlineTimer deadline(30000);
            while (!out.contains("Verbinde mit Einstellungsdatenbank") && !deadline.hasExpired() &&
                   p.state() == QProcess::Running) {
                p.waitForReadyRead(200);
                out += p.readAllStandardOutput();
            }
            return out;
        };
        QProcess crashed;
        QVERIFY(startAndWait(crashed).contains("Verbinde mit Einstellungsdatenbank"));
        crashed.kill(); // no clean-up of the lock
        QVERIFY(crashed.waitForFinished(10000));

        QProcess next;
        const QByteArray out = startAndWait(next);
        QVERIFY2(out.contains("Verbinde mit Einstellungsdatenbank"), out.constData());
        next.kill();
        next.waitForFinished(10000);
    }

    void unattendedRunAndSecondInstance() {
        QVERIFY2(QFileInfo(builtProgram()).isExecutable(), qPrintable(builtProgram()));
        QTemporaryDir tmp;
        TempFolder first;
        TempFolder second;
        QVERIFY(layOut(first, "[OrvelSQLBackup]\r\nInternet=1\r\n"));
        QVERIFY(layOut(second, "[OrvelSQLBackup]\r\nInternet=1\r\n"));
        // A settings file that is no database: the night's run fails, and the exit code says it
        // is a failed start; the file stays as it was.
        QFile junk(first.file(QStringLiteral("sqlback.mdb")));
        QVERIFY(junk.open(QIODevice::WriteOnly));
        junk.write(QByteArray(4096, 'x'));
        junk.close();

        QProcess running;
        running.setProcessEnvironment(unattended(tmp.path()));
        running.setProgram(first.file(QStringLiteral("OrvelSQLBackup")));
        // The first argument as given, even where the toolkit knows it as an option of its own.
        running.setArguments({QStringLiteral("-reverse"), QStringLiteral("nozip")});
        running.start();
        QVERIFY(running.waitForStarted());
        // Wait for the countdown: the start preparation is done.
        QByteArray out;
        QDeadlineTimer deadline(30000);
        while (!out.contains("Prüfung Internetverbindung unterdrückt") && !deadline.hasExpired()) {
            running.waitForReadyRead(200);
            out += running.readAllStandardOutput();
        }
        QVERIFY2(out.contains("Prüfung Internetverbindung unterdrückt"), out.constData());

        // A second start ends at once, before any settings or backup work.
        QProcess again;
        again.setProcessEnvironment(unattended(tmp.path()));
        again.start(second.file(QStringLiteral("OrvelSQLBackup")), {});
        QVERIFY(again.waitForFinished(10000));
        QCOMPARE(again.exitStatus(), QProcess::NormalExit);
        QCOMPARE(again.exitCode(), 0);
        const QByteArray againOut = again.readAllStandardOutput();
        QVERIFY2(againOut.contains("Programm startet"), againOut.constData());
        QVERIFY2(!againOut.contains("Verbinde mit Einstellungsdatenbank"), againOut.constData());
        QVERIFY(!QFileInfo::exists(second.file(QStringLiteral("sqlback.mdb"))));
        QVERIFY(!QFileInfo::exists(second.file(QStringLiteral("log"))));

        // The first one counts down, runs everything and closes by itself.
        QVERIFY(running.waitForFinished(90000));
        out += running.readAllStandardOutput();
        QCOMPARE(running.exitStatus(), QProcess::NormalExit);
        QCOMPARE(running.exitCode(), 2);
        QCOMPARE(QFileInfo(first.file(QStringLiteral("sqlback.mdb"))).size(), 4096);
        QVERIFY2(out.trimmed().endsWith("Programm wird beendet"), out.constData());
        QVERIFY2(out.contains("Startparameter: -reverse\n"), out.constData());

        const QDir log(first.file(QStringLiteral("log")));
        const QStringList days = log.entryList({QStringLiteral("*.txt")}, QDir::Files);
        QCOMPARE(days.size(), 1);
        QFile day(log.filePath(days.first()));
        QVERIFY(day.open(QIODevice::ReadOnly));
        QStringList lines;
        for (const QString& line :
             QString::fromLatin1(day.readAll()).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts))
            lines << line.section(QLatin1Char(' '), 2); // without the stamp
        const QString missing =
            missingInOrder(lines, {QStringLiteral("Verbinde mit Einstellungsdatenbank"),
                                   QStringLiteral("FEHLER: Keine Verbindung zur Einstellungsdatenbank"),
                                   QStringLiteral("Datenbank kann nicht geöffnet werden"),
                                   QStringLiteral("Prüfe Internetverbindung"),
                                   QStringLiteral("Prüfung Internetverbindung unterdrückt"),
                                   QStringLiteral("FEHLER: Verarbeitung abgebrochen"),
                                   QStringLiteral("Fehleranzahl: 1"),
                                   QStringLiteral("Installierte Programmversion: 4.0.0.0"),
                                   QStringLiteral("Kein Zugriff auf das Internet möglich"),
                                   QStringLiteral("Programm wird beendet")});
        QVERIFY2(missing.isEmpty(), qPrintable(missing));
        QCOMPARE(lines.last(), QStringLiteral("Programm wird beendet"));
    }

    // The program folder may be writable by another account. Nothing it plants there makes Qt
    // load code into the program: no plugin in `platforms/` or `networkinformation/` beside the
    // executable, no qt.conf there pointing the plugin folder elsewhere. And whatever umask the
    // program is started with, what it makes in the folder is its own alone.
    void nothingLoadedFromTheProgramFolderAndItsFilesPrivate() {
        QTemporaryDir tmp;
        TempFolder folder;
        TempFolder elsewhere;
        const QByteArray ini = "[OrvelSQLBackup]\r\nInternet=0\r\nWebServer=https://127.0.0.1:" +
                               QByteArray::number(closedPort()) + "\r\n";
        QVERIFY(layOut(folder, ini));
        const auto plant = [](const QString& plugin, const QString& pluginFolder) {
            return QDir().mkpath(pluginFolder) &&
                   QFile::copy(plugin, pluginFolder + QStringLiteral("/libqfake.so"));
        };
        QVERIFY(plant(QStringLiteral(FAKE_PLATFORM_PLUGIN), folder.file(QStringLiteral("platforms"))));
        QVERIFY(plant(QStringLiteral(FAKE_NETWORK_PLUGIN),
                      folder.file(QStringLiteral("networkinformation"))));
        QVERIFY(plant(QStringLiteral(FAKE_PLATFORM_PLUGIN),
                      elsewhere.file(QStringLiteral("platforms"))));
        QVERIFY(plant(QStringLiteral(FAKE_NETWORK_PLUGIN),
                      elsewhere.file(QStringLiteral("networkinformation"))));
        QFile conf(folder.file(QStringLiteral("qt.conf")));
        QVERIFY(conf.open(QIODevice::WriteOnly));
        conf.write("[Paths]\nPrefix=" + QFile::encodeName(elsewhere.path()) + "\nPlugins=.\n");
        conf.close();
        const QString marker = tmp.filePath(QStringLiteral("loaded.txt"));

        QProcess program;
        QProcessEnvironment env = unattended(tmp.path());
        env.insert(QStringLiteral("ORVEL_PLUGIN_MARKER"), marker);
        program.setProcessEnvironment(env);
        program.setProcessChannelMode(QProcess::MergedChannels);
        const mode_t caller = ::umask(0);
        program.start(folder.file(QStringLiteral("OrvelSQLBackup")), {});
        const bool started = program.waitForStarted();
        ::umask(caller);
        QVERIFY(started);
        const bool finished = program.waitForFinished(90000);
        const QByteArray out = program.readAll();
        if (!finished) {
            program.kill();
            program.waitForFinished(10000);
        }
        QVERIFY2(finished, out.constData());
        QVERIFY2(out.contains("Prüfe Internetverbindung"), out.constData());
        QFile loaded(marker);
        QVERIFY2(!loaded.exists(),
                 qPrintable(QStringLiteral("loaded: ") +
                            QString::fromLatin1(loaded.open(QIODevice::ReadOnly) ? loaded.readAll()
                                                                                : QByteArray())));

        const auto mode = [](const QString& path) {
            struct stat st {};
            return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 07777
                                                                          : mode_t(07777);
        };
        QCOMPARE(mode(folder.file(QStringLiteral("log"))), mode_t(0700));
        const QStringList days =
            QDir(folder.file(QStringLiteral("log"))).entryList({QStringLiteral("*.txt")});
        QCOMPARE(days.size(), 1);
        QCOMPARE(mode(folder.file(QStringLiteral("log/")) + days.first()), mode_t(0600));
        QCOMPARE(mode(folder.file(QStringLiteral("sqlback.mdb"))), mode_t(0600));
    }
};

QTEST_GUILESS_MAIN(TestProgram)
#include "tst_program.moc"
