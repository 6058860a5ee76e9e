#include "app/TOrvelSQLBackupMain.h"

#include "app/CountdownNotice.h"
#include "app/DataSource.h"
#include "app/DownloadProgressWindow.h"
#include "app/ScreenLog.h"
#include "app/UpdateWizard.h"
#include "app/WindowServices.h"
#include "core/WindowSizeRule.h"
#include "platform/ProgramError.h"
#include "app/SingleInstance.h"
#include "platform/VersionInfo.h"
#include "settings/Dataset.h"
#include "settings/EditingRules.h"
#include "settings/JobListModel.h"
#include "settings/SettingsColumns.h"
#include "app/TOrvelSFTP.h"
#include "ui_TOrvelSQLBackupMain.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QScopedValueRollback>
#include <QScreen>
#include <QToolButton>

namespace {
constexpr QSize kDesignClientSize(1008, 661);
} // namespace

TOrvelSQLBackupMain::TOrvelSQLBackupMain(Options options, QWidget* parent)
    : QWidget(parent), ui(std::make_unique<Ui::OrvelSQLBackupMain>()) {
    ui->setupUi(this);
    const bool singleInstance = options.singleInstance;
    if (!options.services)
        m_desktop = std::make_unique<DesktopServices>();
    m_services = options.services ? options.services : m_desktop.get();
    // The windows the program shows when it asks, unless the caller brought its own.
    if (!options.windows.updateWizard) {
        WebUpdateWizard1 = std::make_unique<UpdateWizard>(this);
        options.windows.updateWizard = WebUpdateWizard1.get();
    }
    if (!options.windows.supportProgress) {
        WebCopy1Progress = std::make_unique<DownloadProgressWindow>();
        options.windows.supportProgress = WebCopy1Progress.get();
    }
    if (!options.windows.sftpWindow) {
        m_sftpWindow = std::make_unique<TOrvelSFTP>(this);
        options.windows.sftpWindow = m_sftpWindow.get();
    }
    m_program =
        std::make_unique<ProgramAssembly>(std::move(options), static_cast<ProgramView&>(*this));
    m_screenLog = std::make_unique<ScreenLog>(ui->Memo1);
    m_program->log().setView(m_screenLog.get());

    setUpFonts();
    wireButtons();
    bindSettings();
    wireNavigator();

    SmartMessageBox = new CountdownNotice(this);
    SmartMessageBox->setObjectName(QStringLiteral("SmartMessageBox"));
    connect(SmartMessageBox, &CountdownNotice::clicked, this,
            [this](int index) { SmartMessageBoxClick(SmartMessageBox, index); });

    // KeyPreview: the window sees every typed character before the focused control.
    qApp->installEventFilter(this);

    // Window load: one instance per user.
    if (singleInstance) {
        VrRunOnce1 = new SingleInstance(QStringLiteral(ORVEL_PRODUCT_NAME), this);
        m_anotherInstance = VrRunOnce1->anotherInstanceRuns();
        connect(VrRunOnce1, &SingleInstance::raiseRequested, this,
                &TOrvelSQLBackupMain::raiseWindow);
    }
}

TOrvelSQLBackupMain::~TOrvelSQLBackupMain() {
    if (qApp)
        qApp->removeEventFilter(this);
    m_program->log().setView(nullptr);
    // The bindings go before the datasets they watch.
    delete sourceDatenbanken;
    delete sourceBenutzerdaten;
    delete m_jobList;
}

template <class F> void TOrvelSQLBackupMain::guarded(F&& action) {
    try {
        action();
    } catch (const std::exception& e) {
        ApplicationEvents1Exception(this, e);
    }
}

void TOrvelSQLBackupMain::setUpFonts() {
    QFont windowFont(QStringLiteral("Segoe UI"));
    windowFont.setPixelSize(11);
    setFont(windowFont);
    QFont headingFont(QStringLiteral("Segoe UI"));
    headingFont.setPixelSize(15);
    ui->Label7->setFont(headingFont);
    QFont memoFont(QStringLiteral("Tahoma"));
    memoFont.setPixelSize(9);
    ui->Memo1->setFont(memoFont);
    // Set here rather than by a style sheet, which would also recolour the check mark on teal.
    QFont uploadFont(QStringLiteral("Segoe UI"));
    uploadFont.setPixelSize(16);
    ui->DBCheckBox2->setFont(uploadFont);
    // A caption is never cut: a button is at least its designed width and wide enough for its
    // text in the font this system has.
    for (QPushButton* button : {ui->btnStart, ui->btnEmailsenden, ui->btnUpdate, ui->Button3}) {
        const int width = qMax(button->minimumWidth(), button->sizeHint().width());
        button->setMinimumWidth(width);
        button->setMaximumWidth(qMax(button->maximumWidth(), width));
    }
}

void TOrvelSQLBackupMain::wireButtons() {
    connect(ui->btnStart, &QPushButton::clicked, this, [this] { btnStartClick(ui->btnStart); });
    connect(ui->btnEmailsenden, &QPushButton::clicked, this,
            [this] { btnEmailsendenClick(ui->btnEmailsenden); });
    connect(ui->btnUpdate, &QPushButton::clicked, this, [this] { btnUpdateClick(ui->btnUpdate); });
    connect(ui->Button3, &QPushButton::clicked, this, [this] { Button3Click(ui->Button3); });
    connect(ui->Button2, &QPushButton::clicked, this, [this] { Button2Click(ui->Button2); });
    connect(ui->Button4, &QPushButton::clicked, this, [this] { Button4Click(ui->Button4); });
}

void TOrvelSQLBackupMain::bindSettings() {
    namespace C = SettingsColumns;
    SettingsStore& settings = *m_program->parts().settings;
    const auto onError = [this](const std::exception& e) { ApplicationEvents1Exception(this, e); };

    sourceBenutzerdaten = new DataSource(settings.generalRows(), onError, this);
    sourceBenutzerdaten->bindLabel(ui->DBText1, C::OrdnerZIPDateien);
    sourceBenutzerdaten->bindLineEdit(ui->DBEdit17, C::EmpfaengerEmail);
    sourceBenutzerdaten->bindLineEdit(ui->DBEdit12, C::VersenderName);
    sourceBenutzerdaten->bindLineEdit(ui->ZipPasswordEdit, C::ZIP_Passwort);

    sourceDatenbanken = new DataSource(settings.jobRows(), onError, this);
    sourceDatenbanken->bindLineEdit(ui->DBEdit4, C::DBName);
    sourceDatenbanken->bindLineEdit(ui->DBEdit5, C::DBServer);
    sourceDatenbanken->bindLineEdit(ui->DBEdit6, C::DBBenutzer);
    sourceDatenbanken->bindLineEdit(ui->DBEdit7, C::DBPasswort);
    sourceDatenbanken->bindLineEdit(ui->DBEdit8, C::ZIP_Dateiname);
    sourceDatenbanken->bindCheckBox(ui->DBCheckBox2, C::FTP_aktiv, true, false);
    sourceDatenbanken->bindLineEdit(ui->DBEdit9, C::FTP_SERVER);
    sourceDatenbanken->bindLineEdit(ui->DBEdit10, C::FTP_Benutzer);
    sourceDatenbanken->bindLineEdit(ui->DBEdit11, C::FTP_Passwort);
    sourceDatenbanken->bindLineEdit(ui->DBEdit19, C::FTP_Pfad);
    sourceDatenbanken->bindLineEdit(ui->DBEdit20, C::FTP_Port);
    sourceDatenbanken->bindComboBox(ui->wwDBComboBox1, C::FTP_Binary, {0, 1}); // TEXT ASCII, BINÄR
    sourceDatenbanken->bindComboBox(ui->wwDBComboBox2, C::FTP_SSL, {0, 1, 2, 3}); // FTP, FTPS, SFTP, S3
    sourceDatenbanken->bindLineEdit(ui->S3RegionEdit, C::S3_Region);
    sourceDatenbanken->bindCheckBox(ui->DBCheckBox5, C::FTP_Passiv, 1, 0);

    m_jobList = new JobListModel(settings.jobRows());
    ui->wwDBGrid1->setModel(m_jobList);
    ui->wwDBGrid1->setSelectionBehavior(QAbstractItemView::SelectRows);
    ui->wwDBGrid1->setSelectionMode(QAbstractItemView::SingleSelection);
    ui->wwDBGrid1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ui->wwDBGrid1->verticalHeader()->hide();
    ui->wwDBGrid1->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    ui->wwDBGrid1->horizontalHeader()->setStretchLastSection(true);
    ui->wwDBGrid1->setColumnWidth(0, ui->wwDBGrid1->fontMetrics().averageCharWidth() * 25);
    connect(ui->wwDBGrid1->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex& current) {
                if (m_selecting || !current.isValid())
                    return;
                guarded([this, row = current.row()] {
                    m_program->parts().settings->jobRows().moveTo(row);
                });
                // A refused store keeps the pending row current: the list shows where the editor
                // is.
                Q_EMIT m_jobList->currentRowChanged(m_program->parts().settings->jobRows().recNo());
            });
    connect(m_jobList, &JobListModel::currentRowChanged, this, [this](int row) {
        QScopedValueRollback<bool> selecting(m_selecting, true);
        if (row >= 0)
            ui->wwDBGrid1->selectionModel()->setCurrentIndex(m_jobList->index(row, 0),
                                                             QItemSelectionModel::ClearAndSelect |
                                                                 QItemSelectionModel::Rows);
        else
            ui->wwDBGrid1->selectionModel()->clear();
    });

    // The editor's rule for a new job, then the focus to its name.
    Dataset& jobs = settings.jobRows();
    jobs.onNewRecord = [this, rule = jobs.onNewRecord](Dataset& ds) {
        if (rule)
            rule(ds);
        queryDatenbankenNewRecord(ds);
    };

    // Leaving these edits stores the general settings.
    ui->DBEdit17->installEventFilter(this);
    ui->DBEdit12->installEventFilter(this);
    ui->ZipPasswordEdit->installEventFilter(this);
}

void TOrvelSQLBackupMain::wireNavigator() {
    Dataset& jobs = m_program->parts().settings->jobRows();
    connect(ui->DBNavigator2Insert, &QToolButton::clicked, this,
            [this, &jobs] { guarded([&jobs] { jobs.insert(); }); });
    connect(ui->DBNavigator2Delete, &QToolButton::clicked, this, [this, &jobs] {
        guarded([this, &jobs] {
            EditingRules::deleteJob(jobs, [this] {
                return m_services->confirm(this, QStringLiteral("Datensatz löschen?"));
            });
        });
    });
    connect(ui->DBNavigator2Post, &QToolButton::clicked, this,
            [this, &jobs] { guarded([&jobs] { EditingRules::storeJob(jobs); }); });
    connect(ui->DBNavigator2Cancel, &QToolButton::clicked, this,
            [this, &jobs] { guarded([&jobs] { EditingRules::dropJobChanges(jobs); }); });
}

int TOrvelSQLBackupMain::exitCode() const {
    return m_program->core().exitCode();
}

void TOrvelSQLBackupMain::FormCreate(QObject*) {
    m_program->core().windowCreated();
}

void TOrvelSQLBackupMain::applyWindowSizeRule() {
    QScreen* s = screen() ? screen() : QGuiApplication::primaryScreen();
    if (!s) {
        resize(kDesignClientSize);
        return;
    }
    // The rule works in device pixels; Qt places windows in device-independent ones.
    const qreal dpr = s->devicePixelRatio();
    const QRect area = s->availableGeometry();
    const int ppi = qRound(s->logicalDotsPerInch() * dpr);
    const WindowSize outer =
        windowSizeRule(qRound(area.width() * dpr), qRound(area.height() * dpr), ppi);
    m_outerWidth.reset();
    m_outerHeight.reset();
    if (outer.outerWidth)
        m_outerWidth = qRound(*outer.outerWidth / dpr);
    if (outer.outerHeight)
        m_outerHeight = qRound(*outer.outerHeight / dpr);
    resize(m_outerWidth.value_or(kDesignClientSize.width()),
           m_outerHeight.value_or(kDesignClientSize.height()));
}

void TOrvelSQLBackupMain::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (m_shownOnce)
        return;
    m_shownOnce = true;
    // The rule sizes the outer window, frame included; then centre it on its screen. A dimension
    // the rule left alone keeps its design client size.
    const QSize frame = frameGeometry().size() - geometry().size();
    resize(m_outerWidth ? *m_outerWidth - frame.width() : width(),
           m_outerHeight ? *m_outerHeight - frame.height() : height());
    if (QScreen* s = screen())
        move(s->availableGeometry().center() - frameGeometry().center() + pos());
    FormShow(this);
}

void TOrvelSQLBackupMain::FormShow(QObject*) {
    m_program->core().windowShown();
}

void TOrvelSQLBackupMain::setCaption(const QString& caption) {
    setWindowTitle(caption);
}

void TOrvelSQLBackupMain::showCountdownNotice(const QString& html, int maxDisplayMs,
                                              int minDisplayMs) {
    SmartMessageBox->addMessage(html, maxDisplayMs, minDisplayMs);
    SmartMessageBox->showMessages();
}

void TOrvelSQLBackupMain::clearCountdownNotice() {
    SmartMessageBox->clear();
}

void TOrvelSQLBackupMain::setDataControlsAttached(bool attached) {
    sourceBenutzerdaten->setAttached(attached);
    sourceDatenbanken->setAttached(attached);
    m_jobList->setAttached(attached);
}

void TOrvelSQLBackupMain::showConnectionTestResult(const QString& text) {
    ui->lblcheckconnection->setText(text);
}

void TOrvelSQLBackupMain::closeWindow() {
    close();
}

void TOrvelSQLBackupMain::SmartMessageBoxClick(QObject*, int) {
    m_program->core().noticeClicked();
}

void TOrvelSQLBackupMain::FormCloseQuery(QObject*, bool& CanClose) {
    CanClose = m_program->core().closeRequested();
}

void TOrvelSQLBackupMain::closeEvent(QCloseEvent* event) {
    bool canClose = true;
    FormCloseQuery(this, canClose);
    if (!canClose) {
        event->ignore();
        return;
    }
    event->accept();
    Q_EMIT closed();
}

void TOrvelSQLBackupMain::FormKeyPress(QObject*, QChar& Key, Qt::KeyboardModifiers modifiers) {
    if (Key == QChar(13) && !(modifiers & Qt::ShiftModifier)) {
        // Move on to the next control once the focused one has had the key too.
        QMetaObject::invokeMethod(
            this, [this] { focusNextChild(); }, Qt::QueuedConnection);
    }
}

bool TOrvelSQLBackupMain::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::FocusOut) {
        if (watched == ui->DBEdit17)
            DBEdit17Exit(ui->DBEdit17);
        else if (watched == ui->DBEdit12)
            DBEdit12Exit(ui->DBEdit12);
        else if (watched == ui->ZipPasswordEdit)
            DBEdit12Exit(ui->ZipPasswordEdit);
    }
    if (event->type() == QEvent::KeyPress) {
        // A key travels up the parent chain when ignored; take it once, at its first receiver.
        auto* w = qobject_cast<QWidget*>(watched);
        QWidget* first = QApplication::focusWidget() ? QApplication::focusWidget() : this;
        if (w && w == first && w->window() == this) {
            auto* key = static_cast<QKeyEvent*>(event);
            if (!key->text().isEmpty() || key->key() == Qt::Key_Return ||
                key->key() == Qt::Key_Enter) {
                QChar c = (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter)
                              ? QChar(13)
                              : key->text().at(0);
                FormKeyPress(this, c, key->modifiers());
            }
        }
    }
    return QWidget::eventFilter(watched, event);
}

void TOrvelSQLBackupMain::ApplicationEvents1Exception(QObject*, const std::exception& E) {
    m_program->core().exceptionRaised(E);
}

void TOrvelSQLBackupMain::raiseWindow() {
    if (isMinimized())
        showNormal();
    raise();
    activateWindow();
}

void TOrvelSQLBackupMain::btnStartClick(QObject*) {
    m_program->core().startBackupRun();
}
void TOrvelSQLBackupMain::Button2Click(QObject*) {
    m_program->core().testConnection();
}
void TOrvelSQLBackupMain::btnEmailsendenClick(QObject*) {
    m_program->core().sendReport();
}
void TOrvelSQLBackupMain::btnUpdateClick(QObject*) {
    m_program->core().checkForUpdate();
}
void TOrvelSQLBackupMain::Button3Click(QObject*) {
    browseroeffnen(QStringLiteral("https://" ORVEL_MANUAL_HOST "/hilfe2/orvelsqlbackup.htm"));
}

void TOrvelSQLBackupMain::browseroeffnen(const QString& mylink) {
    m_services->openUrl(QUrl(mylink));
}

void TOrvelSQLBackupMain::Button4Click(QObject*) {
    guarded([this] {
        EditingRules::chooseCopyFolder(
            m_program->parts().settings->generalRows(), m_program->core().programFolder(),
            [this](const QString& start) { return m_services->chooseFolder(this, start); });
    });
}

void TOrvelSQLBackupMain::DBEdit17Exit(QObject*) {
    guarded(
        [this] { EditingRules::storePendingGeneral(m_program->parts().settings->generalRows()); });
}

void TOrvelSQLBackupMain::DBEdit12Exit(QObject*) {
    guarded(
        [this] { EditingRules::storePendingGeneral(m_program->parts().settings->generalRows()); });
}

void TOrvelSQLBackupMain::queryDatenbankenNewRecord(Dataset&) {
    ui->DBEdit4->setFocus();
}
