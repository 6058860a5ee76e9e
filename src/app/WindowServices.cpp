#include "app/WindowServices.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>

bool DesktopServices::confirm(QWidget* parent, const QString& question) {
    QMessageBox box(QMessageBox::Question, QApplication::applicationDisplayName(), question,
                    QMessageBox::NoButton, parent);
    QPushButton* ok = box.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
    box.addButton(QStringLiteral("Abbrechen"), QMessageBox::RejectRole);
    box.setDefaultButton(ok);
    box.exec();
    return box.clickedButton() == ok;
}

QString DesktopServices::chooseFolder(QWidget* parent, const QString& startFolder) {
    return QFileDialog::getExistingDirectory(parent, QString(), startFolder,
                                             QFileDialog::ShowDirsOnly);
}

void DesktopServices::openUrl(const QUrl& url) {
    QDesktopServices::openUrl(url);
}
