#pragma once

#include "online/DownloadView.h"
#include "online/UpdateWizardFlow.h"
#include "online/UpdateWizardView.h"

#include <QDialog>
#include <QTimer>
#include <memory>

class QLabel;
class QProgressBar;
class QPushButton;
class QWidget;

// The update wizard "OrvelUpdate": shows the pages of the wizard's flow and moves on by itself
// after a short pause on each, up to the restart page; "Abbrechen" stops it. It shows; the flow
// decides.
class UpdateWizard final : public QDialog, public UpdateWizardView, public DownloadView {
    Q_OBJECT
public:
    static constexpr int kPauseMs = 1500;

    explicit UpdateWizard(QWidget* parent = nullptr);
    ~UpdateWizard() override;

    // Tests shorten the pause on each page.
    void setPause(int ms) { m_pauseMs = ms; }

    void Execute(WebUpdate& update) override;
    void showMessage(const QString& text) override;

    void transferStarting(const Transfer& transfer, TransferState& state) override;
    void transferEnded(bool ok) override;
    // The close box and "Abbrechen"/"Cancel": a running download is asked to stop first.
    void reject() override;

private:
    void showPage();
    void advance();
    void refreshProgress();

    QLabel* m_heading = nullptr;
    QLabel* m_body = nullptr;
    QWidget* m_progressPage = nullptr;
    QProgressBar* m_fileProgress = nullptr;
    QProgressBar* m_totalProgress = nullptr;
    QPushButton* m_next = nullptr;
    QPushButton* m_cancel = nullptr;
    std::unique_ptr<UpdateWizardFlow> m_flow;
    QTimer m_pause;
    QTimer m_poll;
    TransferState* m_state = nullptr;
    Transfer m_transfer;
    bool m_advancing = false;
    int m_pauseMs = kPauseMs;
};
