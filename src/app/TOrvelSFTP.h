#pragma once

#include "transfer/sftp/SftpUpload.h"
#include "transfer/sftp/SftpWindow.h"

#include <QDialog>
#include <QString>

#include <functional>
#include <memory>

class QTimer;
class QLabel;
class QProgressBar;
class QPushButton;
class LogSink;

namespace Ui {
class OrvelSFTP;
}

// The SFTP upload window: performs one upload by itself about one second after it was created,
// then closes. Shown modally by the upload dispatch, which reads UploadErfolgreich afterwards.
class TOrvelSFTP : public QDialog, private SftpUploadView {
    Q_OBJECT
public:
    using HostKeyQuestion =
        std::function<HostKeyAnswer(const QString& text, const QString& caption)>;

    // How long the host key question waits for an answer before it counts as No.
    static constexpr int HostKeyAnswerMs = 120000;

    explicit TOrvelSFTP(LogSink& log, QWidget* parent = nullptr);
    ~TOrvelSFTP() override;

    // The question shown when the server's key is not known; tests preset the answer.
    void setHostKeyQuestion(HostKeyQuestion question) { m_question = std::move(question); }
    void setAskHostKey(bool ask) { m_upload.setAskHostKey(ask); }
    bool hostKeyUnanswered() const { return m_upload.hostKeyUnanswered(); }

    // The message box of the question, answered No when nobody answers within timeoutMs.
    static HostKeyAnswer askWithMessageBox(QWidget* parent, const QString& text,
                                           const QString& caption, int timeoutMs);
    // True when a screen exists to ask on (not the offscreen or minimal platform).
    static bool hasDisplay();

    void FormCreate();
    void FormShow();
    void FormDestroy();
    void Timer1Timer();
    void btUploadClick();

    QString SFTP_HostName;
    QString SFTP_UserName;
    QString SFTP_Password;
    qint32 SFTP_Port = 0;
    bool UploadErfolgreich() const { return m_upload.UploadErfolgreich; }

    QLabel* lblSourceFile = nullptr;
    QLabel* lblDestFile = nullptr;
    QPushButton* btUpload = nullptr;
    QProgressBar* ProgressBar1 = nullptr;
    QTimer* Timer1 = nullptr;

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void reject() override;

private:
    void showProgress(qint64 maximumKiB) override;
    void setProgress(qint64 kib) override;
    void hideProgress() override;
    void processMessages() override;
    HostKeyAnswer askHostKey(const QString& text, const QString& caption) override;

    std::unique_ptr<Ui::OrvelSFTP> ui;
    SftpUpload m_upload;
    HostKeyQuestion m_question;
};

// Shows TOrvelSFTP for every SFTP attempt of the upload dispatch.
class TOrvelSFTPWindow final : public SftpWindow {
public:
    explicit TOrvelSFTPWindow(QWidget* parent = nullptr) : m_parent(parent) {}
    Outcome showModal(const SftpUploadRequest& request, bool askHostKey, LogSink& log) override;
    // Tests preset the answer of the host key question of every window opened.
    void setHostKeyQuestion(TOrvelSFTP::HostKeyQuestion question) {
        m_question = std::move(question);
    }

private:
    QWidget* m_parent;
    TOrvelSFTP::HostKeyQuestion m_question;
};
