// The window as the settings editor: bound controls, the navigator and the editing rules, driven
// with keys and clicks against a real settings file, reopened to prove what was stored.
#include "FakeTimers.h"
#include "MemoryLog.h"
#include "OfflineWindow.h"
#include "SettingsFiles.h"
#include "TempFolder.h"
#include "app/TOrvelSQLBackupMain.h"
#include "app/WindowServices.h"
#include "settings/EditingRules.h"
#include "settings/SettingsDatabase.h"
#include "settings/SettingsRecords.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTableView>
#include <QTest>
#include <QToolButton>

namespace {
// Answers preset by the test; nothing modal ever opens.
class PresetServices : public WindowServices {
public:
    bool confirm(QWidget*, const QString& question) override {
        questions << question;
        return confirmAnswer;
    }
    QString chooseFolder(QWidget*, const QString& startFolder) override {
        startFolders << startFolder;
        return folderAnswer;
    }
    void openUrl(const QUrl& url) override { urls << url; }

    bool confirmAnswer = true;
    QString folderAnswer;
    QStringList questions;
    QStringList startFolders;
    QList<QUrl> urls;
};

// A settings file handed in to the program as its settings part, kept in a folder of its own.
class SettingsFileElsewhere final : public SettingsStore {
public:
    explicit SettingsFileElsewhere(const QString& folder) : m_db(m_log, folder) {
        EditingRules::install(m_db.queryDatenbanken, m_db.queryBenutzerdaten);
    }
    bool fileExists() const override { return QFileInfo::exists(m_db.databasePath()); }
    bool create() override { return SettingsDatabase::CreateAccessDatabase(m_db.databasePath()); }
    void checkdatabase() override { m_db.checkdatabase(); }
    bool connected() const override { return m_db.ADOConnection1.connected(); }
    QList<BackupJob> jobsForRun() override {
        return SettingsRecords::jobsForRun(m_db.queryDatenbanken);
    }
    void storeZipName(const BackupJob& job, const QString& zipName) override {
        SettingsRecords::storeZipName(m_db.queryDatenbanken, job.DBName, zipName);
    }
    BackupJob currentJob() override { return SettingsRecords::currentJob(m_db.queryDatenbanken); }
    GeneralSettings generalSettings() override {
        return SettingsRecords::currentGeneral(m_db.queryBenutzerdaten);
    }
    void postPendingChanges() override { m_db.postPendingChanges(); }
    Dataset& jobRows() override { return m_db.queryDatenbanken; }
    Dataset& generalRows() override { return m_db.queryBenutzerdaten; }

private:
    MemoryLog m_log;
    SettingsDatabase m_db;
};

// The program in its own folder, started and stopped at the countdown: the window is the editor.
struct Editor {
    TempFolder& folder;
    FakeTimers timers;
    PresetServices services;
    std::unique_ptr<TOrvelSQLBackupMain> w;

    // `settings`: a settings part handed in instead of the program's own settings file.
    explicit Editor(TempFolder& programFolder, bool stopCountdown = true,
                    SettingsStore* settings = nullptr)
        : folder(programFolder) {
        TOrvelSQLBackupMain::Options o;
        o.services = &services;
        o.parts.settings = settings;
        w = makeOfflineWindow(folder, timers, o);
        w->FormCreate(w.get());
        w->show();
        if (!QTest::qWaitForWindowExposed(w.get()))
            qFatal("window not shown");
        timers.preparation().fire();
        if (stopCountdown)
            w->SmartMessageBoxClick(w.get(), 0);
        // The notice took the activation while it showed; the user is back in the window.
        w->activateWindow();
        if (!QTest::qWaitForWindowActive(w.get()))
            qFatal("window not active");
    }
    template <class T> T* get(const char* name) const {
        T* widget = w->findChild<T*>(QLatin1String(name));
        if (!widget)
            qFatal("no widget %s", name);
        return widget;
    }
    QLineEdit* edit(const char* name) const { return get<QLineEdit>(name); }
    void click(const char* name) const {
        QTest::mouseClick(get<QAbstractButton>(name), Qt::LeftButton);
    }
    void type(const char* name, const QString& text) const {
        QLineEdit* e = edit(name);
        // Activation comes asynchronously: the keys go in once the edit has the focus.
        w->activateWindow();
        e->setFocus();
        QTRY_COMPARE(QApplication::focusWidget(), e);
        QTest::keyClicks(e, text);
    }
    QString newestLogLine() const {
        return get<QPlainTextEdit>("Memo1")->toPlainText().section(QLatin1Char('\n'), 0, 0).mid(20);
    }
    QStringList stored(const QString& sql) const {
        return SettingsFiles::rows(folder.file(QStringLiteral("sqlback.mdb")), sql);
    }
    // A job typed in and stored through the navigator.
    void addJob(const QString& name) {
        click("DBNavigator2Insert");
        type("DBEdit4", name);
        type("DBEdit5", QStringLiteral("sql01"));
        type("DBEdit7", QStringLiteral("geheim"));
        click("DBNavigator2Post");
    }
};
} // namespace

class TestSettingsEditor : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void insertShowsDefaultsAndTheNameFirst() {
        TempFolder folder;
        Editor e(folder);
        e.click("DBNavigator2Insert");
        QCOMPARE(e.edit("DBEdit6")->text(), QStringLiteral("sa"));
        QCOMPARE(e.edit("DBEdit20")->text(), QStringLiteral("21"));
        QCOMPARE(e.get<QComboBox>("wwDBComboBox2")->currentText(), QStringLiteral("FTP"));
        QCOMPARE(e.get<QComboBox>("wwDBComboBox1")->currentText(), QStringLiteral("TEXT ASCII"));
        QVERIFY(!e.get<QCheckBox>("DBCheckBox2")->isChecked());
        QVERIFY(!e.get<QCheckBox>("DBCheckBox5")->isChecked());
        QTRY_COMPARE(QApplication::focusWidget(), e.edit("DBEdit4"));
        e.type("DBEdit4", QStringLiteral("Lager"));
        e.type("DBEdit5", QStringLiteral("sql01"));
        e.type("DBEdit7", QStringLiteral("geheim"));
        QCOMPARE(e.edit("DBEdit7")->displayText(), QStringLiteral("******"));
        e.click("DBNavigator2Post");
        QCOMPARE(e.stored(QStringLiteral("SELECT DBName, DBServer, DBBenutzer, DBPasswort, "
                                         "FTP_Port, FTP_SSL FROM sqldatenbanken")),
                 QStringList{QStringLiteral("Lager|sql01|sa|geheim|21|0")});
        QCOMPARE(e.get<QTableView>("wwDBGrid1")->model()->index(0, 0).data().toString(),
                 QStringLiteral("Lager"));
    }

    // A settings part handed in is the one the editor binds to and stores into; the program
    // folder gets no settings file of its own.
    void editorWorksOnAHandedInSettingsPart() {
        TempFolder elsewhere;
        SettingsFileElsewhere settings(elsewhere.path());
        TempFolder folder;
        Editor e(folder, true, &settings);
        e.addJob(QStringLiteral("Lager"));
        QCOMPARE(SettingsFiles::rows(elsewhere.file(QStringLiteral("sqlback.mdb")),
                                     QStringLiteral("SELECT DBName, DBServer FROM sqldatenbanken")),
                 QStringList{QStringLiteral("Lager|sql01")});
        QCOMPARE(e.get<QTableView>("wwDBGrid1")->model()->index(0, 0).data().toString(),
                 QStringLiteral("Lager"));
        QVERIFY(!QFileInfo::exists(folder.file(QStringLiteral("sqlback.mdb"))));
    }

    // Typing into the editor of an empty list starts a new row with the same defaults.
    void typingIntoAnEmptyListStartsARow() {
        TempFolder folder;
        Editor e(folder);
        e.type("DBEdit4", QStringLiteral("Kasse"));
        QCOMPARE(e.edit("DBEdit4")->text(), QStringLiteral("Kasse"));
        QCOMPARE(e.edit("DBEdit6")->text(), QStringLiteral("sa"));
        QCOMPARE(e.edit("DBEdit20")->text(), QStringLiteral("21"));
    }

    void valueMaps() {
        TempFolder folder;
        {
            Editor e(folder);
            e.addJob(QStringLiteral("Lager"));
            auto* protocol = e.get<QComboBox>("wwDBComboBox2");
            protocol->setFocus();
            // Pick "S3", the last choice, as a user does: open the list and choose it; the
            // new row's port 21 becomes HTTPS's 443, and the region is stored as typed.
            protocol->showPopup();
            QTest::keyClick(protocol->view(), Qt::Key_End);
            QTest::keyClick(protocol->view(), Qt::Key_Return);
            QCOMPARE(protocol->currentText(), QStringLiteral("S3"));
            e.type("S3RegionEdit", QStringLiteral("eu-central-1"));
            e.click("DBNavigator2Post");
            QCOMPARE(e.stored(QStringLiteral("SELECT FTP_SSL, FTP_Port, S3_Region FROM "
                                             "sqldatenbanken")),
                     QStringList{"3|443|eu-central-1"});
            // And "SFTP", one above it.
            protocol->showPopup();
            QTest::keyClick(protocol->view(), Qt::Key_Up);
            QTest::keyClick(protocol->view(), Qt::Key_Return);
            QCOMPARE(protocol->currentText(), QStringLiteral("SFTP"));
            e.click("DBNavigator2Post");
            QCOMPARE(e.stored(QStringLiteral("SELECT FTP_SSL FROM sqldatenbanken")),
                     QStringList{"2"});
        }
        QVERIFY(SettingsFiles::exec(
            folder.file(QStringLiteral("sqlback.mdb")),
            {QStringLiteral("UPDATE sqldatenbanken SET FTP_SSL=1, FTP_Passiv=1, FTP_Binary=1")}));
        Editor again(folder);
        QCOMPARE(again.get<QComboBox>("wwDBComboBox2")->currentText(), QStringLiteral("FTPS"));
        QCOMPARE(again.get<QComboBox>("wwDBComboBox1")->currentText(), QStringLiteral("BINÄR"));
        QVERIFY(again.get<QCheckBox>("DBCheckBox5")->isChecked());
        again.click("DBCheckBox5");
        again.click("DBNavigator2Post");
        QCOMPARE(again.stored(QStringLiteral("SELECT FTP_Passiv FROM sqldatenbanken")),
                 QStringList{"0"});
    }

    // Tab out of the recipients stores the general settings; the next start shows them.
    void generalSettingsStoredOnLeavingTheEdit() {
        TempFolder folder;
        {
            MemoryLog log;
            SettingsDatabase settings(log, folder.path());
            QVERIFY(SettingsDatabase::CreateAccessDatabase(settings.databasePath()));
            settings.checkdatabase();
            settings.queryBenutzerdaten.edit();
            settings.queryBenutzerdaten.setValue(QStringLiteral("VersenderEmail"),
                                                 QStringLiteral(" Backup@Firma.DE "));
            settings.queryBenutzerdaten.post();
        }
        {
            Editor e(folder);
            e.type("DBEdit17", QStringLiteral("Chef@Firma.de; it@firma.de"));
            QTest::keyClick(e.edit("DBEdit17"), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget(), e.edit("DBEdit12"));
            QCOMPARE(e.stored(QStringLiteral(
                         "SELECT EmpfaengerEmail, VersenderEmail FROM benutzerdaten")),
                     QStringList{QStringLiteral("Chef@Firma.de; it@firma.de|backup@firma.de")});
        }
        Editor next(folder);
        QCOMPARE(next.edit("DBEdit17")->text(), QStringLiteral("Chef@Firma.de; it@firma.de"));
    }

    // The ZIP password is typed masked and stored on leaving its edit, as the other general
    // settings; the next start shows it (masked) again.
    void zipPasswordStoredOnLeavingTheEdit() {
        TempFolder folder;
        const QString password = QStringLiteral("Sommer-Ä 2026!");
        {
            Editor e(folder);
            auto* edit = e.edit("ZipPasswordEdit");
            QCOMPARE(edit->echoMode(), QLineEdit::Password);
            e.type("ZipPasswordEdit", password);
            QTest::keyClick(edit, Qt::Key_Tab);
            QCOMPARE(e.stored(QStringLiteral("SELECT ZIP_Passwort FROM benutzerdaten")),
                     QStringList{password});
        }
        Editor next(folder);
        QCOMPARE(next.edit("ZipPasswordEdit")->text(), password);
    }

    // A refused store: the database's message in the log book, the row still in the editor.
    void secondJobWithTheSameNameIsRefused() {
        TempFolder folder;
        Editor e(folder);
        e.addJob(QStringLiteral("Lager"));
        e.addJob(QStringLiteral("Lager"));
        QVERIFY2(e.newestLogLine().contains(QStringLiteral("DBName")) ||
                     e.newestLogLine().contains(QStringLiteral("UNIQUE"), Qt::CaseInsensitive),
                 qPrintable(e.newestLogLine()));
        QCOMPARE(e.edit("DBEdit4")->text(), QStringLiteral("Lager"));
        QCOMPARE(e.edit("DBEdit5")->text(), QStringLiteral("sql01"));
        e.click("DBNavigator2Cancel");
        QCOMPARE(e.stored(QStringLiteral("SELECT COUNT(*) FROM sqldatenbanken")), QStringList{"1"});
        QCOMPARE(e.get<QTableView>("wwDBGrid1")->model()->rowCount(), 1);
    }

    void deleteAsksFirst_data() {
        QTest::addColumn<bool>("answer");
        QTest::addColumn<QString>("left");
        QTest::newRow("OK") << true << "1";
        QTest::newRow("Abbrechen") << false << "2";
    }
    void deleteAsksFirst() {
        QFETCH(bool, answer);
        QFETCH(QString, left);
        TempFolder folder;
        Editor e(folder);
        e.addJob(QStringLiteral("Lager"));
        e.addJob(QStringLiteral("Kasse"));
        e.services.confirmAnswer = answer;
        e.click("DBNavigator2Delete");
        QCOMPARE(e.services.questions, QStringList{QStringLiteral("Datensatz löschen?")});
        QCOMPARE(e.stored(QStringLiteral("SELECT COUNT(*) FROM sqldatenbanken")),
                 QStringList{left});
    }

    void folderChooser() {
        TempFolder folder;
        TempFolder copies;
        Editor e(folder);
        e.services.folderAnswer = QDir::cleanPath(copies.path());
        e.click("Button4");
        QCOMPARE(e.services.startFolders.value(0), folder.path());
        QCOMPARE(e.get<QLabel>("DBText1")->text(), QDir::cleanPath(copies.path()));
        QCOMPARE(e.stored(QStringLiteral("SELECT OrdnerZIPDateien FROM benutzerdaten")),
                 QStringList{QDir::cleanPath(copies.path())});
        e.services.folderAnswer.clear(); // cancelled
        e.click("Button4");
        QCOMPARE(e.services.startFolders.value(1), QDir::cleanPath(copies.path()));
        QCOMPARE(e.stored(QStringLiteral("SELECT OrdnerZIPDateien FROM benutzerdaten")),
                 QStringList{QDir::cleanPath(copies.path())});
    }

    // During the countdown the controls do not follow the settings; the click re-attaches them.
    void countdownDetachesEveryBoundControl() {
        TempFolder folder;
        {
            Editor first(folder);
            first.addJob(QStringLiteral("Lager"));
            first.addJob(QStringLiteral("Kasse"));
        }
        Editor e(folder, false);
        auto* list = e.get<QTableView>("wwDBGrid1");
        const QString shown = e.edit("DBEdit4")->text();
        // Another job becomes current; the editor stays as it was.
        const int other = shown == QLatin1String("Lager") ? 1 : 0;
        list->selectionModel()->setCurrentIndex(list->model()->index(other, 0),
                                                QItemSelectionModel::ClearAndSelect |
                                                    QItemSelectionModel::Rows);
        QCOMPARE(e.edit("DBEdit4")->text(), shown);
        e.w->SmartMessageBoxClick(e.w.get(), 0);
        QCOMPARE(e.edit("DBEdit4")->text(), list->model()->index(other, 0).data().toString());
        QCOMPARE(e.edit("DBEdit6")->text(), QStringLiteral("sa"));
    }

    void manualOpensInTheBrowserWithoutALogLine() {
        TempFolder folder;
        Editor e(folder);
        const QString before = e.newestLogLine();
        e.click("Button3");
        QCOMPARE(e.services.urls.size(), 1);
        QCOMPARE(e.services.urls.first().scheme(), QStringLiteral("https"));
        QCOMPARE(e.services.urls.first().path(), QStringLiteral("/hilfe2/orvelsqlbackup.htm"));
        QCOMPARE(e.newestLogLine(), before);
    }
};

int main(int argc, char** argv) {
    qputenv("LC_ALL", "de_DE.UTF-8");
    QApplication app(argc, argv);
    TestSettingsEditor test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_settingseditor.moc"
