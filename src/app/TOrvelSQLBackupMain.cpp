#include "app/TOrvelSQLBackupMain.h"

#include "app/CountdownNotice.h"
#include "app/ScreenLog.h"
#include "core/WindowSizeRule.h"
#include "platform/ProgramError.h"
#include "platform/SingleInstance.h"
#include "platform/VersionInfo.h"
#include "ui_TOrvelSQLBackupMain.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QScreen>

namespace {
constexpr QSize kDesignClientSize(1008, 661);
} // namespace

TOrvelSQLBackupMain::TOrvelSQLBackupMain(Options options, QWidget* parent)
    : QWidget(parent), ui(std::make_unique<Ui::OrvelSQLBackupMain>()) {
    ui->setupUi(this);
    const bool singleInstance = options.singleInstance;
    m_program = std::make_unique<Program>(std::move(options), static_cast<ProgramView&>(*this));
    m_screenLog = std::make_unique<ScreenLog>(ui->Memo1);
    m_program->log().setView(m_screenLog.get());

    // The job editor's connection test; the editor itself lays them out.
    Button2 = new QPushButton(QStringLiteral("Verbindung testen"), this);
    Button2->setObjectName(QStringLiteral("Button2"));
    Button2->hide();
    lblcheckconnection = new QLabel(QStringLiteral("..."), this);
    lblcheckconnection->setObjectName(QStringLiteral("lblcheckconnection"));
    lblcheckconnection->hide();

    setUpFonts();
    wireButtons();

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
    connect(Button2, &QPushButton::clicked, this, [this] { Button2Click(Button2); });
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
    // The bound controls of the settings editor follow this; until it is built there are none.
    m_controlsAttached = attached;
}

void TOrvelSQLBackupMain::showConnectionTestResult(const QString& text) {
    lblcheckconnection->setText(text);
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
// The online manual opens with the settings editor's links.
void TOrvelSQLBackupMain::Button3Click(QObject*) {}
