#include "app/TOrvelSFTP.h"

#include "platform/LogSink.h"
#include "ui_TOrvelSFTP.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>

TOrvelSFTP::TOrvelSFTP(LogSink& log, QWidget* parent)
    : QDialog(parent), ui(std::make_unique<Ui::OrvelSFTP>()), m_upload(log, *this) {
    ui->setupUi(this);
    lblSourceFile = ui->lblSourceFile;
    lblDestFile = ui->lblDestFile;
    btUpload = ui->btUpload;
    ProgressBar1 = ui->ProgressBar1;
    setModal(true);
    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(1000);
    connect(Timer1, &QTimer::timeout, this, &TOrvelSFTP::Timer1Timer);
    connect(btUpload, &QPushButton::clicked, this, &TOrvelSFTP::btUploadClick);
    FormCreate();
    Timer1->start(); // active from creation
}

TOrvelSFTP::~TOrvelSFTP() {
    FormDestroy();
}

void TOrvelSFTP::FormCreate() {
    m_upload.createSession();
}

void TOrvelSFTP::FormShow() {
    // Already running since creation; its schedule stays as it is.
    if (!Timer1->isActive())
        Timer1->start();
}

void TOrvelSFTP::FormDestroy() {
    // The session goes with m_upload.
}

void TOrvelSFTP::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    FormShow();
}

void TOrvelSFTP::Timer1Timer() {
    Timer1->stop();
    SftpUploadRequest request;
    request.SFTP_HostName = SFTP_HostName;
    request.SFTP_UserName = SFTP_UserName;
    request.SFTP_Password = SFTP_Password;
    request.SFTP_Port = SFTP_Port;
    request.sourceFile = lblSourceFile->text();
    request.destFile = lblDestFile->text();
    btUpload->setEnabled(false);
    m_upload.run(request);
    btUpload->setEnabled(true);
    done(QDialog::Accepted);
}

void TOrvelSFTP::btUploadClick() {
    if (m_upload.isBusy())
        return;
    btUpload->setEnabled(false);
    m_upload.upload();
    btUpload->setEnabled(true);
}

void TOrvelSFTP::closeEvent(QCloseEvent* event) {
    // The window closes by itself when the work is done.
    if (m_upload.isBusy()) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

void TOrvelSFTP::reject() {
    if (!m_upload.isBusy())
        QDialog::reject();
}

void TOrvelSFTP::showProgress(qint64 maximumKiB) {
    ProgressBar1->setMinimum(0);
    ProgressBar1->setMaximum(static_cast<int>(qMin<qint64>(maximumKiB, INT_MAX)));
    ProgressBar1->setValue(0);
    ProgressBar1->setVisible(true);
}

void TOrvelSFTP::setProgress(qint64 kib) {
    ProgressBar1->setValue(static_cast<int>(qMin<qint64>(kib, ProgressBar1->maximum())));
}

void TOrvelSFTP::hideProgress() {
    ProgressBar1->setVisible(false);
}

void TOrvelSFTP::processMessages() {
    QCoreApplication::processEvents();
}

bool TOrvelSFTP::hasDisplay() {
    const QString platform = QGuiApplication::platformName();
    return platform != QLatin1String("offscreen") && platform != QLatin1String("minimal");
}

SftpUploadView::HostKeyAnswer TOrvelSFTP::askHostKey(const QString& text, const QString& caption) {
    if (m_question)
        return m_question(text, caption);
    // Nobody can answer without a screen; the automatic run must not wait for anyone.
    if (!hasDisplay())
        return HostKeyAnswer::Unattended;
    return askWithMessageBox(this, text, caption, HostKeyAnswerMs);
}

SftpUploadView::HostKeyAnswer TOrvelSFTP::askWithMessageBox(QWidget* parent, const QString& text,
                                                            const QString& caption, int timeoutMs) {
    QMessageBox box(QMessageBox::Question, caption, text, QMessageBox::Yes | QMessageBox::No,
                    parent);
    box.setDefaultButton(QMessageBox::No);
    box.button(QMessageBox::Yes)->setAccessibleName(box.button(QMessageBox::Yes)->text());
    box.button(QMessageBox::No)->setAccessibleName(box.button(QMessageBox::No)->text());
    bool timedOut = false;
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, &box, [&box, &timedOut] {
        timedOut = true;
        box.done(QMessageBox::No);
    });
    limit.start(timeoutMs);
    const int answer = box.exec();
    if (timedOut)
        return HostKeyAnswer::Unanswered;
    return answer == QMessageBox::Yes ? HostKeyAnswer::Yes : HostKeyAnswer::No;
}

SftpWindow::Outcome TOrvelSFTPWindow::showModal(const SftpUploadRequest& request, bool askHostKey,
                                                LogSink& log) {
    auto* window = new TOrvelSFTP(log, m_parent);
    QPointer<TOrvelSFTP> guard(window);
    window->setAskHostKey(askHostKey);
    if (m_question)
        window->setHostKeyQuestion(m_question);
    window->SFTP_HostName = request.SFTP_HostName;
    window->SFTP_UserName = request.SFTP_UserName;
    window->SFTP_Password = request.SFTP_Password;
    window->SFTP_Port = request.SFTP_Port;
    window->lblSourceFile->setText(request.sourceFile);
    window->lblDestFile->setText(request.destFile);
    window->exec();
    Outcome outcome;
    if (guard) {
        outcome.UploadErfolgreich = window->UploadErfolgreich();
        outcome.hostKeyUnanswered = window->hostKeyUnanswered();
        delete window;
    }
    return outcome;
}
