#pragma once

#include <QString>
#include <QUrl>

class QWidget;

// What the window asks of the desktop: a modal question, the folder chooser and the browser.
// One small seam, so that a test presets the answers and never waits on a modal box.
class WindowServices {
public:
    virtual ~WindowServices() = default;
    // "OK" / "Abbrechen"; true for OK.
    virtual bool confirm(QWidget* parent, const QString& question) = 0;
    // The chosen folder, or empty when the user cancels.
    virtual QString chooseFolder(QWidget* parent, const QString& startFolder) = 0;
    // Hands the address to the desktop's default handler; the result is not examined.
    virtual void openUrl(const QUrl& url) = 0;
};

// The real dialogs and the desktop's browser.
class DesktopServices final : public WindowServices {
public:
    bool confirm(QWidget* parent, const QString& question) override;
    QString chooseFolder(QWidget* parent, const QString& startFolder) override;
    void openUrl(const QUrl& url) override;
};
