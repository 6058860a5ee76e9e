#include "app/UpdateWizard.h"

#include "online/TransferFigures.h"
#include "online/TransferState.h"
#include "online/WebUpdate.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScopedValueRollback>
#include <QVBoxLayout>

UpdateWizard::UpdateWizard(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("WebUpdateWizard1"));
    setWindowTitle(QStringLiteral("OrvelUpdate"));
    setAccessibleName(QStringLiteral("OrvelUpdate"));
    QFont font(QStringLiteral("Verdana"));
    font.setPixelSize(12);
    font.setBold(true);
    setFont(font);

    m_heading = new QLabel(this);
    m_heading->setObjectName(QStringLiteral("lblHeading"));
    m_body = new QLabel(this);
    m_body->setObjectName(QStringLiteral("lblText"));
    m_body->setWordWrap(true);

    m_progressPage = new QWidget(this);
    auto* progress = new QVBoxLayout(m_progressPage);
    progress->setContentsMargins(0, 0, 0, 0);
    const auto addBar = [this, progress](const QString& label) {
        progress->addWidget(new QLabel(label, m_progressPage));
        auto* bar = new QProgressBar(m_progressPage);
        bar->setRange(0, 100);
        bar->setAccessibleName(label);
        progress->addWidget(bar);
        return bar;
    };
    m_fileProgress = addBar(QStringLiteral("Dateidownload:"));
    m_totalProgress = addBar(QStringLiteral("Gesamter Updateverlauf:"));

    m_next = new QPushButton(this);
    m_next->setObjectName(QStringLiteral("btnNext"));
    m_cancel = new QPushButton(QStringLiteral("Abbrechen"), this);
    m_cancel->setObjectName(QStringLiteral("btnCancel"));
    m_cancel->setAccessibleName(m_cancel->text());
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_next);
    buttons->addWidget(m_cancel);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_heading);
    layout->addWidget(m_body);
    layout->addWidget(m_progressPage);
    layout->addStretch();
    layout->addLayout(buttons);
    setMinimumSize(480, 300);

    m_pause.setSingleShot(true);
    connect(&m_pause, &QTimer::timeout, this, &UpdateWizard::advance);
    connect(m_next, &QPushButton::clicked, this, &UpdateWizard::advance);
    connect(m_cancel, &QPushButton::clicked, this, &UpdateWizard::reject);
    m_poll.setInterval(200);
    connect(&m_poll, &QTimer::timeout, this, &UpdateWizard::refreshProgress);
}

UpdateWizard::~UpdateWizard() = default;

void UpdateWizard::Execute(WebUpdate& update) {
    m_flow = std::make_unique<UpdateWizardFlow>(update);
    update.setDownloadView(this);
    showPage();
    exec();
    update.setDownloadView(nullptr);
    m_pause.stop();
    m_flow.reset();
}

void UpdateWizard::showMessage(const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, QApplication::applicationDisplayName(), text,
                    QMessageBox::NoButton);
    box.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
    box.exec();
}

void UpdateWizard::showPage() {
    if (!m_flow || m_flow->finished()) {
        accept();
        return;
    }
    const UpdateWizardFlow::Texts t = m_flow->texts();
    m_heading->setText(t.heading);
    m_heading->setAccessibleName(t.heading);
    m_body->setText(t.body);
    m_body->setAccessibleName(t.body);
    m_body->setVisible(!t.body.isEmpty());
    m_progressPage->setVisible(m_flow->page() == UpdateWizardFlow::Page::Downloading);
    m_next->setText(t.button);
    m_next->setAccessibleName(t.button);
    m_next->setVisible(!t.button.isEmpty());
    m_next->setEnabled(true);
    if (t.autoAdvance)
        m_pause.start(m_pauseMs);
}

void UpdateWizard::advance() {
    if (m_advancing || !m_flow)
        return;
    const QScopedValueRollback<bool> busy(m_advancing, true);
    m_pause.stop();
    m_next->setEnabled(false);
    m_flow->advance();
    showPage();
}

void UpdateWizard::reject() {
    // A running download is asked to stop; the wizard closes once it has.
    if (m_state)
        m_state->cancel = true;
    if (m_flow)
        m_flow->cancel();
    if (!m_advancing)
        QDialog::reject();
}

void UpdateWizard::transferStarting(const Transfer& transfer, TransferState& state) {
    m_transfer = transfer;
    m_state = &state;
    m_poll.start();
    refreshProgress();
}

void UpdateWizard::transferEnded(bool ok) {
    refreshProgress();
    if (ok)
        m_fileProgress->setValue(100);
    m_poll.stop();
    m_state = nullptr;
}

void UpdateWizard::refreshProgress() {
    if (!m_state)
        return;
    const int file = TransferFigures::percent(m_state->received, m_state->total);
    m_fileProgress->setValue(file);
    const int count = qMax(1, m_transfer.count);
    m_totalProgress->setValue((m_transfer.index * 100 + file) / count);
}
