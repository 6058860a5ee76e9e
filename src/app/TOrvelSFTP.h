#pragma once

#include "transfer/sftp/SftpUploadView.h"

#include <QDialog>
#include <QString>

#include <functional>
#include <memory>

class QTimer;
class QLabel;
class QProgressBar;
class QPushButton;

namespace Ui {
class OrvelSFTP;
}

// The SFTP upload window: shows one upload attempt of the upload dispatch, from about a second
// before it begins until it ends (the two paths and the progress), and asks the host key
// question. The dispatch does the upload; the window only shows and asks.
class TOrvelSFTP : public QDialog, public SftpUploadView {
    Q_OBJECT
public:
    using HostKeyQuestion =
        std::function<HostKeyAnswer(const QString& text, const QString& caption)>;

    // How long the host key question waits for an answer before it counts as No.
    static constexpr int HostKeyAnswerMs = 120000;

    explicit TOrvelSFTP(QWidget* parent = nullptr);
    ~TOrvelSFTP() override;

    // The question shown when the server's key is not known; tests preset the answer.
    void setHostKeyQuestion(HostKeyQuestion question) { m_question = std::move(question); }

    // The message box of the question, answered No when nobody answers within timeoutMs.
    static HostKeyAnswer askWithMessageBox(QWidget* parent, const QString& text,
                                           const QString& caption, int timeoutMs);
    // True when a screen exists to ask on (not the offscreen or minimal platform).
    static bool hasDisplay();

    void open(const QString& sourceFile, const QString& destFile) override;
    void showProgress(qint64 maximumKiB) override;
    void setProgress(qint64 kib) override;
    void hideProgress() override;
    HostKeyAnswer askHostKey(const QString& text, const QString& caption) override;
    void close() override;

    void Timer1Timer();

    QLabel* lblSourceFile = nullptr;
    QLabel* lblDestFile = nullptr;
    QPushButton* btUpload = nullptr;
    QProgressBar* ProgressBar1 = nullptr;
    QTimer* Timer1 = nullptr;

protected:
    void closeEvent(QCloseEvent* event) override;
    void reject() override;

private:
    std::unique_ptr<Ui::OrvelSFTP> ui;
    HostKeyQuestion m_question;
    bool m_attemptOpen = false; // from open() to close(): the window stays
    std::function<void()> m_due; // ends open()'s wait when Timer1 fires
};
