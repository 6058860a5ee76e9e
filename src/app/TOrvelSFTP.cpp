#include "app/TOrvelSFTP.h"

#include "ui_TOrvelSFTP.h"

#include <QCloseEvent>
#include <QEventLoop>
#include <QGuiApplication>
#include <QMessageBox>
#include <QTimer>

#include <climits>

TOrvelSFTP::TOrvelSFTP(QWidget* parent) : QDialog(parent), ui(std::make_unique<Ui::OrvelSFTP>()) {
    ui->setupUi(this);
    lblSourceFile = ui->lblSourceFile;
    lblDestFile = ui->lblDestFile;
    btUpload = ui->btUpload;
    ProgressBar1 = ui->ProgressBar1;
    // The upload is the dispatch's: the button has nothing to start.
    btUpload->setEnabled(false);
    setWindowModality(Qt::ApplicationModal);
    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(1000);
    Timer1->setSingleShot(true);
    connect(Timer1, &QTimer::timeout, this, &TOrvelSFTP::Timer1Timer);
}

TOrvelSFTP::~TOrvelSFTP() = default;

void TOrvelSFTP::open(const QString& sourceFile, const QString& destFile) {
    lblSourceFile->setText(sourceFile);
    lblDestFile->setText(destFile);
    ProgressBar1->setVisible(false);
    m_attemptOpen = true;
    show();
    raise();
    // The attempt begins about a second after the window appeared, as it always has.
    QEventLoop wait;
    m_due = [&wait] { wait.quit(); };
    Timer1->start();
    wait.exec();
    m_due = nullptr;
}

void TOrvelSFTP::Timer1Timer() {
    Timer1->stop();
    if (m_due)
        m_due();
}

void TOrvelSFTP::close() {
    m_attemptOpen = false;
    ProgressBar1->setVisible(false);
    done(QDialog::Accepted);
    hide();
}

void TOrvelSFTP::closeEvent(QCloseEvent* event) {
    // The window closes by itself when the attempt is over.
    if (m_attemptOpen) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

void TOrvelSFTP::reject() {
    if (!m_attemptOpen)
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
