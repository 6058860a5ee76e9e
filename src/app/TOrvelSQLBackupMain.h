#pragma once

#include "core/ProgramAssembly.h"
#include "core/ProgramView.h"

#include <QSize>
#include <QWidget>
#include <exception>
#include <memory>
#include <optional>

class CountdownNotice;
class Dataset;
class DataSource;
class DownloadProgressWindow;
class JobListModel;
class ScreenLog;
class SingleInstance;
class UpdateWizard;
class TOrvelSFTP;
class WindowServices;

namespace Ui {
class OrvelSQLBackupMain;
}

// The main window: shows the program's state and hands the user's actions to the program core.
// It takes no decision of its own.
class TOrvelSQLBackupMain : public QWidget, private ProgramView {
    Q_OBJECT
public:
    struct Options : ProgramAssembly::Options {
        bool singleInstance = false;        // take part in the one-instance-per-user rule
        WindowServices* services = nullptr; // null: the real dialogs and browser
    };

    explicit TOrvelSQLBackupMain(Options options, QWidget* parent = nullptr);
    ~TOrvelSQLBackupMain() override;

    // Handlers of the window's events.
    void FormCreate(QObject* Sender);
    void FormShow(QObject* Sender);
    void SmartMessageBoxClick(QObject* Sender, int index);
    void FormCloseQuery(QObject* Sender, bool& CanClose);
    void FormKeyPress(QObject* Sender, QChar& Key, Qt::KeyboardModifiers modifiers);
    void ApplicationEvents1Exception(QObject* Sender, const std::exception& E);
    void btnStartClick(QObject* Sender);
    void Button2Click(QObject* Sender);
    void btnEmailsendenClick(QObject* Sender);
    void btnUpdateClick(QObject* Sender);
    void Button3Click(QObject* Sender);
    void Button4Click(QObject* Sender);
    void DBEdit17Exit(QObject* Sender);
    void DBEdit12Exit(QObject* Sender);
    // A new job row has begun (its defaults are the settings' rule): the name is typed first.
    void queryDatenbankenNewRecord(Dataset& DataSet);
    // Opens the address with the desktop's default handler; nothing is logged.
    void browseroeffnen(const QString& mylink);

    // A second start found this user's running instance and asked it to come forward.
    bool anotherInstanceRuns() const { return m_anotherInstance; }
    // What the program ends with, for schedulers.
    int exitCode() const;

Q_SIGNALS:
    // The window has closed for good; the program ends.
    void closed();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // What the core shows.
    void applyWindowSizeRule() override;
    void setCaption(const QString& caption) override;
    void showCountdownNotice(const QString& html, int maxDisplayMs, int minDisplayMs) override;
    void clearCountdownNotice() override;
    void setDataControlsAttached(bool attached) override;
    void showConnectionTestResult(const QString& text) override;
    void closeWindow() override;

    void setUpFonts();
    void wireButtons();
    void bindSettings();
    void wireNavigator();
    void raiseWindow();
    // Runs a user action; what escapes it goes to the log book as any unhandled error does.
    template <class F> void guarded(F&& action);

    std::unique_ptr<Ui::OrvelSQLBackupMain> ui;
    std::unique_ptr<ScreenLog> m_screenLog;
    // The online parts' windows, shown by the program when it asks.
    std::unique_ptr<UpdateWizard> WebUpdateWizard1;
    std::unique_ptr<DownloadProgressWindow> WebCopy1Progress;
    // Before the program, which uses it until it goes.
    std::unique_ptr<TOrvelSFTP> m_sftpWindow;
    std::unique_ptr<ProgramAssembly> m_program;
    CountdownNotice* SmartMessageBox = nullptr;
    std::unique_ptr<WindowServices> m_desktop;
    WindowServices* m_services = nullptr;
    DataSource* sourceDatenbanken = nullptr;
    DataSource* sourceBenutzerdaten = nullptr;
    JobListModel* m_jobList = nullptr;
    bool m_selecting = false; // the list's selection follows the current row
    SingleInstance* VrRunOnce1 = nullptr;
    bool m_anotherInstance = false;
    bool m_shownOnce = false;
    // The rule's outer size; an empty dimension keeps the design client size.
    std::optional<int> m_outerWidth;
    std::optional<int> m_outerHeight;
};
