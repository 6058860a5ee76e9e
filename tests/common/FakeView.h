#pragma once

#include "core/ProgramView.h"

#include <QStringList>
#include <functional>

// Records what the core shows.
class FakeView : public ProgramView {
public:
    void applyWindowSizeRule() override { calls << QStringLiteral("applyWindowSizeRule"); }
    void setCaption(const QString& text) override { caption = text; }
    void showCountdownNotice(const QString& html, int maxMs, int minMs) override {
        noticeHtml = html;
        noticeMaxMs = maxMs;
        noticeMinMs = minMs;
        noticeShowing = true;
    }
    void clearCountdownNotice() override { noticeShowing = false; }
    void setDataControlsAttached(bool on) override { attached = on; }
    void showConnectionTestResult(const QString& text) override { connectionResult = text; }
    void closeWindow() override {
        ++closeRequests;
        if (onClose)
            onClose();
    }

    QStringList calls;
    QString caption;
    QString noticeHtml;
    int noticeMaxMs = 0;
    int noticeMinMs = 0;
    bool noticeShowing = false;
    bool attached = true;
    QString connectionResult = QStringLiteral("...");
    int closeRequests = 0;
    std::function<void()> onClose; // the window's close, which asks the core
};
