#include "app/DownloadProgressWindow.h"

#include "online/TransferFigures.h"
#include "online/TransferState.h"

#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>

#include <utility>

namespace {
// A value shown beside its label; screen readers name it by the label.
QLabel* addRow(QGridLayout* grid, int row, const QString& label, QWidget* parent) {
    auto* caption = new QLabel(label, parent);
    auto* value = new QLabel(parent);
    value->setAccessibleName(label);
    value->setTextInteractionFlags(Qt::TextSelectableByMouse);
    grid->addWidget(caption, row, 0);
    grid->addWidget(value, row, 1);
    return value;
}
} // namespace

DownloadProgressWindow::DownloadProgressWindow(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowStaysOnTopHint) {
    setObjectName(QStringLiteral("WebCopy1Progress"));
    setWindowTitle(QStringLiteral("Downloading"));
    setAccessibleName(QStringLiteral("Downloading"));
    auto* grid = new QGridLayout;
    m_file = addRow(grid, 0, QStringLiteral("File :"), this);
    m_from = addRow(grid, 1, QStringLiteral("from"), this);
    m_to = addRow(grid, 2, QStringLiteral("to"), this);
    grid->addWidget(new QLabel(QStringLiteral("Progress :"), this), 3, 0);
    m_progress = new QProgressBar(this);
    m_progress->setRange(0, 100);
    m_progress->setAccessibleName(QStringLiteral("Progress :"));
    grid->addWidget(m_progress, 3, 1);
    m_amount = new QLabel(this);
    m_amount->setAccessibleName(QStringLiteral("Progress :"));
    grid->addWidget(m_amount, 4, 1);
    m_rate = addRow(grid, 5, QStringLiteral("Transfer rate :"), this);
    m_left = addRow(grid, 6, QStringLiteral("Estimated time left :"), this);
    m_elapsed = addRow(grid, 7, QStringLiteral("Elapsed time :"), this);

    m_cancel = new QPushButton(QStringLiteral("Cancel"), this);
    m_cancel->setAccessibleName(m_cancel->text());
    m_close = new QPushButton(QStringLiteral("Close"), this);
    m_close->setAccessibleName(m_close->text());
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_cancel);
    buttons->addWidget(m_close);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addLayout(buttons);
    setMinimumWidth(520);

    connect(m_cancel, &QPushButton::clicked, this, [this] {
        if (m_state)
            m_state->cancel = true;
    });
    connect(m_close, &QPushButton::clicked, this, &QDialog::hide);
    m_poll.setInterval(200);
    connect(&m_poll, &QTimer::timeout, this, &DownloadProgressWindow::refresh);
}

void DownloadProgressWindow::transferStarting(const Transfer& transfer, TransferState& state) {
    m_state = &state;
    m_file->setText(QStringLiteral("%1 (%2 of %3)")
                        .arg(transfer.fileName)
                        .arg(transfer.index + 1)
                        .arg(transfer.count));
    // A long address or path is shortened in the middle, so the window stays on the screen; the
    // whole text is the label's tool tip and what a screen reader gets.
    for (const auto& [label, text] : {std::pair{m_from, transfer.url}, {m_to, transfer.target}}) {
        label->setText(label->fontMetrics().elidedText(text, Qt::ElideMiddle, kMaxValueWidth));
        label->setToolTip(text);
        label->setAccessibleDescription(text);
    }
    m_progress->setValue(0);
    m_cancel->setEnabled(true);
    m_close->setEnabled(false);
    m_clock.start();
    refresh();
    // As wide as its texts need, within the screen (adjustSize() would stop at two thirds).
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        resize(sizeHint().expandedTo(minimumSizeHint()).boundedTo(area.size()));
        move(area.center() - rect().center());
    } else {
        adjustSize();
    }
    show();
    raise();
    m_poll.start();
}

void DownloadProgressWindow::refresh() {
    if (!m_state)
        return;
    const qint64 received = m_state->received;
    const qint64 total = m_state->total;
    const qint64 elapsed = m_clock.elapsed();
    m_progress->setValue(TransferFigures::percent(received, total));
    m_amount->setText(total > 0 ? TransferFigures::size(received) + QStringLiteral(" of ") +
                                      TransferFigures::size(total)
                                : TransferFigures::size(received));
    m_rate->setText(TransferFigures::rate(received, elapsed));
    m_left->setText(TransferFigures::timeLeft(received, total, elapsed));
    m_elapsed->setText(TransferFigures::duration(elapsed));
}

void DownloadProgressWindow::transferEnded(bool ok) {
    refresh();
    m_poll.stop();
    m_state = nullptr;
    if (ok) {
        m_progress->setValue(100);
        m_amount->setText(QStringLiteral("completed"));
    }
    m_cancel->setEnabled(false);
    m_close->setEnabled(true);
    // The check goes on with the next file or the window's first showing.
    hide();
}

void DownloadProgressWindow::reject() {
    // The close box cancels a running transfer; the window goes when the transfer has ended.
    if (m_state)
        m_state->cancel = true;
    else
        hide();
}
