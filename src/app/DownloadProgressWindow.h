#pragma once

#include "online/DownloadView.h"

#include <QDialog>
#include <QElapsedTimer>
#include <QTimer>

class QLabel;
class QProgressBar;
class QPushButton;

// The support files' progress window: centred, above all other windows while a file downloads,
// with English texts. It only shows the transfer's figures; "Cancel" asks the transfer to stop.
class DownloadProgressWindow final : public QDialog, public DownloadView {
    Q_OBJECT
public:
    // The widest a file's address or path is shown, in pixels.
    static constexpr int kMaxValueWidth = 600;

    explicit DownloadProgressWindow(QWidget* parent = nullptr);

    void transferStarting(const Transfer& transfer, TransferState& state) override;
    void transferEnded(bool ok) override;
    // The close box and "Abbrechen"/"Cancel": a running download is asked to stop first.
    void reject() override;

private:
    void refresh();

    QLabel* m_file = nullptr;
    QLabel* m_from = nullptr;
    QLabel* m_to = nullptr;
    QProgressBar* m_progress = nullptr;
    QLabel* m_amount = nullptr;
    QLabel* m_rate = nullptr;
    QLabel* m_left = nullptr;
    QLabel* m_elapsed = nullptr;
    QPushButton* m_cancel = nullptr;
    QPushButton* m_close = nullptr;
    QTimer m_poll;
    QElapsedTimer m_clock;
    TransferState* m_state = nullptr;
};
