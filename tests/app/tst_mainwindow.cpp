#include "app/CountdownNotice.h"
#include "FakeClock.h"
#include "platform/ProgramError.h"
#include "ScreenLog.h"
#include "app/TOrvelSQLBackupMain.h"
#include "TempFolder.h"
#include "ui_TOrvelSQLBackupMain.h"

#include <QApplication>
#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSignalSpy>
#include <QTest>

namespace {
// The window with the other subsystems replaced by recorders.
class Window : public TOrvelSQLBackupMain {
public:
    explicit Window(const QString& folder, QStringList args = {}, bool unattended = false)
        : TOrvelSQLBackupMain(options(folder, std::move(args), unattended)) {}

    static Options options(const QString& folder, QStringList args, bool unattended) {
        Options o;
        o.programFolder = folder;
        o.arguments = std::move(args);
        o.unattended = unattended;
        return o;
    }

    bool CreateAccessDatabase(const QString& Database) override {
        calls << QStringLiteral("CreateAccessDatabase");
        QFile f(Database);
        return createWorks && f.open(QIODevice::WriteOnly);
    }
    void checkdatabase() override {
        calls << QStringLiteral("checkdatabase");
        if (!checkError.isEmpty())
            throw ProgramError(checkError);
    }
    bool checkinternetconnection() override {
        calls << QStringLiteral("checkinternetconnection");
        if (online)
            setPublicAddress(QStringLiteral("203.0.113.7"));
        return online;
    }
    void Berichtsvorlagencheck() override { calls << QStringLiteral("Berichtsvorlagencheck"); }
    void btnStartClick(QObject* Sender) override {
        calls << QStringLiteral("btnStartClick");
        senders << Sender;
        if (!startError.isEmpty())
            throw ProgramError(startError);
    }
    void btnEmailsendenClick(QObject* Sender) override {
        calls << QStringLiteral("btnEmailsendenClick");
        senders << Sender;
        if (!mailError.isEmpty())
            throw ProgramError(mailError);
    }
    void automaticUpdateCheck() override {
        calls << QStringLiteral("automaticUpdateCheck");
        if (!updateError.isEmpty())
            throw ProgramError(updateError);
    }
    bool systemReportsConnection() override { return systemConnection; }
    void postPendingSettings() override {
        calls << QStringLiteral("postPendingSettings");
        if (!postError.isEmpty())
            throw ProgramError(postError);
    }

    QStringList lines() const { return screenEntries(*ui->Memo1); }
    QStringList linesOldestFirst() const { return screenEntriesOldestFirst(*ui->Memo1); }

    QStringList calls;
    QList<QObject*> senders;
    bool createWorks = true;
    bool online = false;
    bool systemConnection = false;
    QString checkError, startError, mailError, updateError, postError;
};

void writeIni(const QString& folder, const QByteArray& content) {
    QFile f(folder + QStringLiteral("OrvelSQLBackup.INI"));
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(content);
}

QStringList dayFileLines(const QString& folder) {
    const QDir log(folder + QStringLiteral("log"));
    const QStringList files = log.entryList({QStringLiteral("*.txt")}, QDir::Files);
    if (files.size() != 1)
        return {QStringLiteral("<%1 day files>").arg(files.size())};
    QFile f(log.filePath(files.first()));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QStringList out;
    for (const QByteArray& l : f.readAll().split('\n'))
        if (!l.isEmpty())
            out << QString::fromLatin1(l.chopped(1)).section(QLatin1Char(' '), 2);
    return out;
}
} // namespace

class TestMainWindow : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void firstStartInEmptyFolder() {
        TempFolder folder;
        Window w(folder.path());
        w.FormCreate(&w);
        QVERIFY(w.lines().contains(QStringLiteral("Programm startet")));
        QFile ini(folder.file(QStringLiteral("OrvelSQLBackup.INI")));
        QVERIFY(ini.open(QIODevice::ReadOnly));
        const QByteArray iniText = ini.readAll();
        QVERIFY2(iniText.contains("[OrvelSQLBackup]") && iniText.contains("Internet=0"), iniText);

        w.FormShow(&w);
        QVERIFY(w.Timer1.isActive());
        QVERIFY(!QFileInfo::exists(folder.file(QStringLiteral("log"))));

        w.Timer1Timer(&w.Timer1);
        QVERIFY(!w.Timer1.isActive());
        QVERIFY(w.windowTitle().startsWith(QStringLiteral("OrvelSQLBackup 4.0.0.0 ")));
        QVERIFY(QRegularExpression(QStringLiteral("^OrvelSQLBackup 4\\.0\\.0\\.0 \\d\\d\\.\\d\\d\\.\\d{4} \\S"))
                    .match(w.windowTitle()).hasMatch());
        // What was logged before the log folder existed stands on screen only.
        QCOMPARE(dayFileLines(folder.path()),
                 (QStringList{QStringLiteral("Einstellungsdatenbank erstellt"),
                              QStringLiteral("Verbinde mit Einstellungsdatenbank"),
                              QStringLiteral("Prüfe Internetverbindung"),
                              QStringLiteral("keine Internetverbindung gefunden")}));
        QCOMPARE(w.linesOldestFirst().first(), QStringLiteral("Programm startet"));
        QCOMPARE(w.calls, (QStringList{QStringLiteral("CreateAccessDatabase"), QStringLiteral("checkdatabase"),
                                       QStringLiteral("checkinternetconnection")}));
        QVERIFY(w.SmartMessageBox->isShowing());
        QVERIFY(w.Timer2.isActive());
        QCOMPARE(w.Timer2.interval(), 15000);
        QVERIFY(!w.dataControlsAttached());
    }

    void existingSettingsFileIsNotCreatedAgain() {
        TempFolder folder;
        QFile(folder.file(QStringLiteral("sqlback.mdb"))).open(QIODevice::WriteOnly);
        Window w(folder.path());
        w.FormCreate(&w);
        w.Timer1Timer(&w.Timer1);
        QVERIFY(!w.calls.contains(QStringLiteral("CreateAccessDatabase")));
        QVERIFY(!w.lines().contains(QStringLiteral("Einstellungsdatenbank erstellt")));
    }

    void failedCreationLogsNoCreationLine() {
        TempFolder folder;
        Window w(folder.path());
        w.createWorks = false;
        w.FormCreate(&w);
        w.Timer1Timer(&w.Timer1);
        QVERIFY(w.calls.contains(QStringLiteral("CreateAccessDatabase")));
        QVERIFY(!w.lines().contains(QStringLiteral("Einstellungsdatenbank erstellt")));
        QVERIFY(w.Timer2.isActive());
    }

    void iniSetting_data() {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<int>("setting");
        QTest::addColumn<QByteArray>("stored");
        QTest::addColumn<QStringList>("startLines");
        QTest::addColumn<QStringList>("probeLines");
        QTest::addColumn<int>("sections");
        const QStringList suppressed{QStringLiteral("Prüfe Internetverbindung"),
                                     QStringLiteral("Prüfung Internetverbindung unterdrückt")};
        const QStringList offline{QStringLiteral("Prüfe Internetverbindung"),
                                  QStringLiteral("keine Internetverbindung gefunden")};
        const QStringList none;
        const QStringList noNet{QStringLiteral("Keine Internetverbindung gesetzt")};
        QTest::newRow("no file") << QByteArray() << 0 << QByteArray("Internet=0") << none << offline << 1;
        QTest::newRow("letters") << QByteArray("[OrvelSQLBackup]\r\nInternet=abc\r\n") << 0
                                 << QByteArray("Internet=0") << none << offline << 1;
        QTest::newRow("zero") << QByteArray("[OrvelSQLBackup]\r\nInternet=0\r\n") << 0
                              << QByteArray("Internet=0") << none << offline << 1;
        QTest::newRow("one") << QByteArray("[OrvelSQLBackup]\r\nInternet=1\r\n") << 1
                             << QByteArray("Internet=1") << noNet << suppressed << 1;
        QTest::newRow("two") << QByteArray("[OrvelSQLBackup]\r\nInternet=2\r\n") << 2
                             << QByteArray("Internet=2") << none << suppressed << 1;
        QTest::newRow("other section only") << QByteArray("[Sonstiges]\r\nInternet=1\r\n") << 0
                                            << QByteArray("Internet=0") << none << offline << 2;
        // Written by hand in other letter case: read as Windows reads it, no second section.
        QTest::newRow("lower case one") << QByteArray("[orvelsqlbackup]\r\ninternet=1\r\n") << 1
                                        << QByteArray("internet=1") << noNet << suppressed << 1;
        QTest::newRow("lower case letters") << QByteArray("[orvelsqlbackup]\r\ninternet=x\r\n") << 0
                                            << QByteArray("internet=0") << none << offline << 1;
    }
    void iniSetting() {
        QFETCH(QByteArray, ini);
        QFETCH(int, setting);
        QFETCH(QByteArray, stored);
        QFETCH(QStringList, startLines);
        QFETCH(QStringList, probeLines);
        QFETCH(int, sections);
        TempFolder folder;
        if (!ini.isEmpty())
            writeIni(folder.path(), ini);
        Window w(folder.path());
        w.systemConnection = true;
        w.FormCreate(&w);
        QCOMPARE(w.internetSetting(), setting);
        QCOMPARE(w.linesOldestFirst(), QStringList{QStringLiteral("Programm startet")} + startLines);
        QFile f(folder.file(QStringLiteral("OrvelSQLBackup.INI")));
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray written = f.readAll();
        QVERIFY2(written.contains(stored), written);
        QCOMPARE(written.count('['), sections);

        // Online functions only with 0: the support-file check, the probe, the update check.
        w.FormShow(&w);
        QCOMPARE(w.calls.contains(QStringLiteral("Berichtsvorlagencheck")), setting == 0);
        w.ui->Memo1->clear();
        w.Timer1Timer(&w.Timer1);
        const QStringList prep = w.linesOldestFirst();
        QCOMPARE(prep.mid(prep.indexOf(QStringLiteral("Verbinde mit Einstellungsdatenbank")) + 1), probeLines);
        w.ui->Memo1->clear();
        w.Timer2Timer(&w.Timer2);
        QVERIFY(w.lines().contains(QStringLiteral("Kein Zugriff auf das Internet möglich")));
        QVERIFY(!w.calls.contains(QStringLiteral("automaticUpdateCheck")));
    }

    void unwritableIniSkipsRestOfCreation() {
        TempFolder folder;
        QVERIFY(QDir().mkpath(folder.file(QStringLiteral("OrvelSQLBackup.INI")))); // a folder in its way
        Window w(folder.path(), {QStringLiteral("nozip")});
        w.guarded([&] { w.FormCreate(&w); });
        QCOMPARE(w.linesOldestFirst(),
                 (QStringList{QStringLiteral("Programm startet"),
                              QStringLiteral("In %1 kann nicht geschrieben werden")
                                  .arg(folder.file(QStringLiteral("OrvelSQLBackup.INI")))}));
        QVERIFY(w.firstStartParameter().isEmpty());
        // The rest of the start-up goes on.
        w.FormShow(&w);
        w.Timer1Timer(&w.Timer1);
        QVERIFY(w.Timer2.isActive());
    }

    void startParameters_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("first");
        QTest::newRow("none") << QStringList{} << QString();
        QTest::newRow("nozip") << QStringList{QStringLiteral("nozip")} << QStringLiteral("nozip");
        QTest::newRow("NoZip") << QStringList{QStringLiteral("NoZip")} << QStringLiteral("NoZip");
        QTest::newRow("-nozip") << QStringList{QStringLiteral("-nozip")} << QStringLiteral("-nozip");
        QTest::newRow("second position")
            << QStringList{QStringLiteral("x"), QStringLiteral("nozip")} << QStringLiteral("x");
    }
    void startParameters() {
        QFETCH(QStringList, args);
        QFETCH(QString, first);
        TempFolder folder;
        Window w(folder.path(), args);
        w.FormCreate(&w);
        QCOMPARE(w.firstStartParameter(), first);
        const QStringList expected = first.isEmpty()
                                         ? QStringList{QStringLiteral("Programm startet")}
                                         : QStringList{QStringLiteral("Programm startet"),
                                                       QStringLiteral("Startparameter: ") + first};
        QCOMPARE(w.linesOldestFirst(), expected);
    }

    void clickOnNoticeStopsTheAutomaticRun() {
        TempFolder folder;
        Window w(folder.path());
        w.show();
        w.FormCreate(&w);
        w.Timer1Timer(&w.Timer1);
        QVERIFY(w.SmartMessageBox->isShowing());
        QVERIFY(w.Timer2.isActive());

        QTest::mouseClick(w.SmartMessageBox->popup(), Qt::LeftButton, {},
                          w.SmartMessageBox->popup()->rect().center());
        QVERIFY(!w.Timer2.isActive());
        QVERIFY(!w.SmartMessageBox->isShowing());
        QCOMPARE(w.lines().first(), QStringLiteral("Automatische Programmausführung wurde deaktiviert"));
        QVERIFY(w.dataControlsAttached());
        QVERIFY(w.isVisible());
        QVERIFY(!w.calls.contains(QStringLiteral("btnStartClick")));
    }

    void automaticRunRunsEveryStepAndCloses_data() {
        QTest::addColumn<bool>("failures");
        QTest::newRow("clean") << false;
        QTest::newRow("every step throws") << true;
    }
    void automaticRunRunsEveryStepAndCloses() {
        QFETCH(bool, failures);
        TempFolder folder;
        Window w(folder.path());
        w.online = true;
        if (failures) {
            w.startError = QStringLiteral("Lauf kaputt");
            w.mailError = QStringLiteral("Mail kaputt");
            w.updateError = QStringLiteral("Update kaputt");
        }
        QSignalSpy closed(&w, &TOrvelSQLBackupMain::closed);
        w.show();
        w.FormCreate(&w);
        w.Timer1Timer(&w.Timer1);
        QCOMPARE(w.lines().mid(0, 2), (QStringList{QStringLiteral("IP-Adresse: 203.0.113.7"),
                                                   QStringLiteral("Internetverbindung verfügbar")}));
        w.ui->Memo1->clear();
        w.calls.clear();
        w.Timer2Timer(&w.Timer2);
        QCOMPARE(w.calls, (QStringList{QStringLiteral("btnStartClick"), QStringLiteral("btnEmailsendenClick"),
                                       QStringLiteral("automaticUpdateCheck"),
                                       QStringLiteral("postPendingSettings")}));
        QCOMPARE(w.senders, (QList<QObject*>{&w.Timer2, &w.Timer2}));
        // What escapes a step is dropped without a line.
        QCOMPARE(w.linesOldestFirst(), (QStringList{QStringLiteral("Installierte Programmversion: 4.0.0.0"),
                                                    QStringLiteral("Programm wird beendet")}));
        QVERIFY(!w.isVisible());
        QCOMPARE(closed.count(), 1);
    }

    void closingDuringCountdownEndsWithoutRun() {
        TempFolder folder;
        Window w(folder.path());
        QSignalSpy closed(&w, &TOrvelSQLBackupMain::closed);
        w.show();
        w.FormCreate(&w);
        w.Timer1Timer(&w.Timer1);
        QVERIFY(w.close());
        QCOMPARE(closed.count(), 1);
        QVERIFY(!w.Timer2.isActive());
        QVERIFY(!w.SmartMessageBox->isShowing());
        QCOMPARE(w.lines().first(), QStringLiteral("Programm wird beendet"));
        QVERIFY(!w.calls.contains(QStringLiteral("btnStartClick")));
    }

    void failingSettingsCheckStopsThePreparation() {
        TempFolder folder;
        Window w(folder.path());
        w.checkError = QStringLiteral("Tabelle kann nicht geöffnet werden");
        w.FormCreate(&w);
        w.Timer1.start();
        w.guarded([&] { w.Timer1Timer(&w.Timer1); });
        QCOMPARE(w.lines().first(), QStringLiteral("Tabelle kann nicht geöffnet werden"));
        QVERIFY(!w.SmartMessageBox->isShowing());
        QVERIFY(!w.Timer2.isActive());
        QVERIFY(w.dataControlsAttached());
    }

    void refusedPostKeepsTheWindowOpen() {
        TempFolder folder;
        Window w(folder.path());
        QSignalSpy closed(&w, &TOrvelSQLBackupMain::closed);
        w.show();
        w.FormCreate(&w);
        w.postError = QStringLiteral("Feld 'DBServer' darf nicht leer sein");
        QVERIFY(!w.close());
        QVERIFY(w.isVisible());
        QCOMPARE(closed.count(), 0);
        QCOMPARE(w.lines().first(), QStringLiteral("Feld 'DBServer' darf nicht leer sein"));
        w.postError.clear();
        QVERIFY(w.close());
        QCOMPARE(w.lines().first(), QStringLiteral("Programm wird beendet"));
    }

    void exceptionInButtonHandlerBecomesLogLine() {
        TempFolder folder;
        Window w(folder.path());
        w.FormCreate(&w);
        w.startError = QStringLiteral("Lauf abgebrochen");
        QTest::mouseClick(w.ui->btnStart, Qt::LeftButton);
        QCOMPARE(w.lines().first(), QStringLiteral("Lauf abgebrochen"));
    }

    // Without a display nobody can answer the window: a failed preparation still leads to the
    // automatic run, and a refused store does not keep the program from ending.
    void unattendedStartComesToAnEnd() {
        TempFolder folder;
        Window w(folder.path(), {}, true);
        QSignalSpy closed(&w, &TOrvelSQLBackupMain::closed);
        w.show();
        w.checkError = QStringLiteral("Tabelle kann nicht geöffnet werden");
        w.FormCreate(&w);
        w.Timer1.start(0);
        QTRY_VERIFY(w.Timer2.isActive());
        QCOMPARE(w.lines().mid(0, 2), (QStringList{QStringLiteral("FEHLER: Startvorbereitung abgebrochen"),
                                                   QStringLiteral("Tabelle kann nicht geöffnet werden")}));
        w.postError = QStringLiteral("Feld 'DBServer' darf nicht leer sein");
        w.Timer2Timer(&w.Timer2);
        QCOMPARE(closed.count(), 1);
        QVERIFY(w.calls.contains(QStringLiteral("btnStartClick")));
        QCOMPARE(w.lines().mid(0, 3), (QStringList{QStringLiteral("Programm wird beendet"),
                                                   QStringLiteral("FEHLER: Änderungen der Einstellungen nicht gespeichert"),
                                                   QStringLiteral("Feld 'DBServer' darf nicht leer sein")}));
    }

    void enterMovesFocusShiftEnterDoesNot_data() {
        QTest::addColumn<Qt::KeyboardModifiers>("modifiers");
        QTest::addColumn<bool>("moves");
        QTest::newRow("enter") << Qt::KeyboardModifiers() << true;
        QTest::newRow("shift+enter") << Qt::KeyboardModifiers(Qt::ShiftModifier) << false;
        QTest::newRow("ctrl+enter") << Qt::KeyboardModifiers(Qt::ControlModifier) << true;
    }
    void enterMovesFocusShiftEnterDoesNot() {
        QFETCH(Qt::KeyboardModifiers, modifiers);
        QFETCH(bool, moves);
        TempFolder folder;
        Window w(folder.path());
        auto* first = new QLineEdit(w.ui->Panel6);
        auto* second = new QLineEdit(w.ui->Panel6);
        w.ui->Panel6->layout()->addWidget(first);
        w.ui->Panel6->layout()->addWidget(second);
        QWidget::setTabOrder(first, second);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        w.activateWindow();
        first->setFocus();
        QTRY_COMPARE(QApplication::focusWidget(), first);
        QTest::keyClick(first, Qt::Key_Return, modifiers);
        QCoreApplication::processEvents();
        QCOMPARE(QApplication::focusWidget(), moves ? second : first);
    }

    void topBarButtonsInTabOrder() {
        TempFolder folder;
        Window w(folder.path());
        QList<QWidget*> chain;
        for (QWidget* x = w.ui->btnStart; chain.size() < 4; x = x->nextInFocusChain())
            if (x->focusPolicy() & Qt::TabFocus)
                chain << x;
        QCOMPARE(chain, (QList<QWidget*>{w.ui->btnStart, w.ui->btnEmailsenden, w.ui->Button3,
                                         w.ui->btnUpdate}));
        QCOMPARE(w.ui->btnStart->text(), QStringLiteral("Sicherungen jetzt ausführen"));
        QCOMPARE(w.ui->btnStart->minimumWidth(), 153);
        QCOMPARE(w.ui->btnEmailsenden->minimumWidth(), 106);
        QCOMPARE(w.ui->btnUpdate->minimumWidth(), 113);
        QCOMPARE(w.ui->Button3->minimumWidth(), 75);
    }
};

int main(int argc, char** argv) {
    qputenv("LC_ALL", "de_DE.UTF-8");
    QApplication app(argc, argv);
    TestMainWindow test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_mainwindow.moc"
