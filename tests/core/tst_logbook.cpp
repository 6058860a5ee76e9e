#include "FakeClock.h"
#include "TempFolder.h"
#include "core/LogBook.h"

#include <QCoreApplication>
#include <QFile>
#include <QTest>

#include <sys/stat.h>

class TestLogBook : public QObject {
    Q_OBJECT

    struct Fixture {
        FakeClock clock{QDateTime(QDate(2026, 12, 9), QTime(2, 11, 29))};
        LogBook log{clock};
        TempFolder folder;
        Fixture() {
            QDir(folder.path()).mkdir(QStringLiteral("log"));
            log.setLogFolder(folder.path() + QStringLiteral("log/"));
        }
        QByteArray dayFile(const QString& name = QStringLiteral("2026_12_09.txt")) const {
            QFile f(log.logFolder() + name);
            return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
        }
        QStringList screenLines() const { return log.screenText().split(QLatin1Char('\n')); }
    };

private Q_SLOTS:
    void umlautLineInWindows1252WithCrLf() {
        Fixture f;
        f.log.writelogentry(QStringLiteral("Prüfe Internetverbindung"));
        QCOMPARE(f.log.screenText(),
                 QStringLiteral("09.12.2026 02:11:29 Prüfe Internetverbindung"));
        QCOMPARE(f.dayFile(), QByteArray("09.12.2026 02:11:29 Pr\xFC"
                                         "fe Internetverbindung\r\n"));
    }

    void newestOnTopOnScreenOldestFirstInFile() {
        Fixture f;
        f.log.writelogentry(QStringLiteral("erste"));
        f.log.writelogentry(QStringLiteral("zweite"));
        f.log.writelogentry(QString());
        QCOMPARE(f.screenLines(), (QStringList{QStringLiteral("09.12.2026 02:11:29 "),
                                               QStringLiteral("09.12.2026 02:11:29 zweite"),
                                               QStringLiteral("09.12.2026 02:11:29 erste")}));
        QCOMPARE(f.dayFile(), QByteArray("09.12.2026 02:11:29 erste\r\n"
                                         "09.12.2026 02:11:29 zweite\r\n"
                                         "09.12.2026 02:11:29 \r\n"));
    }

    void multiLineEntryStampedOnce() {
        Fixture f;
        f.log.writelogentry(QStringLiteral("alt"));
        f.log.writelogentry(QStringLiteral("Zeile 1\nZeile 2"));
        QCOMPARE(f.screenLines(), (QStringList{QStringLiteral("09.12.2026 02:11:29 Zeile 1"),
                                               QStringLiteral("Zeile 2"),
                                               QStringLiteral("09.12.2026 02:11:29 alt")}));
        QCOMPARE(f.dayFile(), QByteArray("09.12.2026 02:11:29 alt\r\n"
                                         "09.12.2026 02:11:29 Zeile 1\r\nZeile 2\r\n"));
    }

    // Screen stamp, file name and file stamp are three readings of the clock.
    void entryAcrossMidnightReadsTheClockThreeTimes() {
        Fixture f;
        f.clock.current = QDateTime(QDate(2026, 12, 9), QTime(23, 59, 59, 900));
        f.clock.stepMs = 100;
        f.log.writelogentry(QStringLiteral("Wechsel"));
        QCOMPARE(f.log.screenText(), QStringLiteral("09.12.2026 23:59:59 Wechsel"));
        QCOMPARE(f.dayFile(QStringLiteral("2026_12_09.txt")), QByteArray("<missing>"));
        QCOMPARE(f.dayFile(QStringLiteral("2026_12_10.txt")),
                 QByteArray("10.12.2026 00:00:00 Wechsel\r\n"));
    }

    void exactlyMidnightLeavesTheTimeOutOfTheFile() {
        Fixture f;
        f.clock.current = QDateTime(QDate(2026, 12, 9), QTime(0, 0));
        f.log.writelogentry(QStringLiteral("Mitternacht"));
        QCOMPARE(f.log.screenText(), QStringLiteral("09.12.2026 00:00:00 Mitternacht"));
        QCOMPARE(f.dayFile(), QByteArray("09.12.2026 Mitternacht\r\n"));
    }

    // An entry written while the window handles its messages reaches the file first.
    void entryMadeWhileProcessingMessagesLandsFirstInFile() {
        Fixture f;
        bool nested = false;
        f.log.setMessagePump([&] {
            if (nested)
                return;
            nested = true;
            f.log.writelogentry(QStringLiteral("innen"));
        });
        f.log.writelogentry(QStringLiteral("außen"));
        QCOMPARE(f.screenLines(), (QStringList{QStringLiteral("09.12.2026 02:11:29 innen"),
                                               QStringLiteral("09.12.2026 02:11:29 außen")}));
        QCOMPARE(f.dayFile(), QByteArray("09.12.2026 02:11:29 innen\r\n09.12.2026 02:11:29 au\xDF"
                                         "en\r\n"));
    }

    void unusableLogFolderKeepsEntriesOnScreenOnly_data() {
        QTest::addColumn<QString>("kind");
        QTest::newRow("missing folder") << "missing";
        QTest::newRow("folder is a file") << "file";
        QTest::newRow("day file is a folder") << "dayfolder";
    }
    void unusableLogFolderKeepsEntriesOnScreenOnly() {
        QFETCH(QString, kind);
        Fixture f;
        const QString folder = f.folder.path() + QStringLiteral("other/");
        if (kind == QLatin1String("file")) {
            QFile blocker(f.folder.path() + QStringLiteral("other"));
            QVERIFY(blocker.open(QIODevice::WriteOnly));
        } else if (kind == QLatin1String("dayfolder")) {
            QVERIFY(QDir().mkpath(folder + QStringLiteral("2026_12_09.txt")));
        }
        f.log.setLogFolder(folder);
        f.log.writelogentry(QStringLiteral("nur am Bildschirm"));
        f.log.writelogentry(QStringLiteral("noch eine"));
        QCOMPARE(f.screenLines().size(), 2);
        QVERIFY(!QFileInfo(folder + QStringLiteral("2026_12_09.txt")).isFile());
        // Once the folder is usable again, the next entry reaches the file.
        f.log.setLogFolder(f.folder.path() + QStringLiteral("log/"));
        f.log.writelogentry(QStringLiteral("wieder da"));
        QCOMPARE(f.dayFile(), QByteArray("09.12.2026 02:11:29 wieder da\r\n"));
    }

    // A symbolic link planted as the day file, or as the log folder, is not written through:
    // the entries stay on screen, and one line there names what was refused.
    void linkInPlaceOfTheDayFile_data() {
        QTest::addColumn<bool>("folderIsLink");
        QTest::newRow("day file") << false;
        QTest::newRow("log folder") << true;
    }
    void linkInPlaceOfTheDayFile() {
        QFETCH(bool, folderIsLink);
        Fixture f;
        TempFolder elsewhere;
        const QString target = elsewhere.file(QStringLiteral("2026_12_09.txt"));
        {
            QFile t(target);
            QVERIFY(t.open(QIODevice::WriteOnly));
            t.write("unberührt");
        }
        QString refused;
        if (folderIsLink) {
            const QString folder = f.folder.path() + QStringLiteral("linked/");
            QVERIFY(QFile::link(elsewhere.path(), f.folder.path() + QStringLiteral("linked")));
            f.log.setLogFolder(folder);
            refused = QStringLiteral("Der Ordner ") + folder +
                      QStringLiteral(" ist eine symbolische Verknüpfung und wird nicht geöffnet");
        } else {
            const QString day = f.log.logFolder() + QStringLiteral("2026_12_09.txt");
            QVERIFY(QFile::link(target, day));
            refused = QStringLiteral("Die Datei ") + day +
                      QStringLiteral(" ist eine symbolische Verknüpfung und wird nicht geöffnet");
        }
        f.log.writelogentry(QStringLiteral("erste"));
        f.log.writelogentry(QStringLiteral("zweite"));
        QCOMPARE(f.screenLines(),
                 (QStringList{QStringLiteral("09.12.2026 02:11:29 zweite"),
                              QStringLiteral("09.12.2026 02:11:29 FEHLER: ") + refused,
                              QStringLiteral("09.12.2026 02:11:29 erste")}));
        QFile t(target);
        QVERIFY(t.open(QIODevice::ReadOnly));
        QCOMPARE(t.readAll(), QByteArray("unberührt"));
    }

    // The day files say what the night did with which database: a new one is the owner's alone,
    // whatever umask the program was started with.
    void newDayFileIsPrivate() {
        Fixture f;
        const mode_t caller = ::umask(0);
        f.log.writelogentry(QStringLiteral("erste"));
        ::umask(caller);
        struct stat st {};
        QCOMPARE(::stat(QFile::encodeName(f.log.logFolder() + QStringLiteral("2026_12_09.txt")),
                        &st),
                 0);
        QCOMPARE(st.st_mode & 07777, mode_t(0600));
    }
};

int main(int argc, char** argv) {
    // Regional settings come from the environment; the stamps here are the German ones.
    qputenv("LC_ALL", "de_DE.UTF-8");
    qputenv("LANG", "de_DE.UTF-8");
    QCoreApplication app(argc, argv);
    TestLogBook test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_logbook.moc"
