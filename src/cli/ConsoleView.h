#pragma once

#include "core/ProgramView.h"

#include <functional>

// What the core would show in the window, for a run without one: nothing to size, caption or
// notice; the close ends the program's event loop through `onClose`.
class ConsoleView final : public ProgramView {
public:
    explicit ConsoleView(std::function<void()> onClose) : m_onClose(std::move(onClose)) {}
    void applyWindowSizeRule() override {}
    void setCaption(const QString&) override {}
    void showCountdownNotice(const QString&, int, int) override {}
    void clearCountdownNotice() override {}
    void setDataControlsAttached(bool) override {}
    void showConnectionTestResult(const QString&) override {}
    void closeWindow() override {
        if (m_onClose)
            m_onClose();
    }

private:
    std::function<void()> m_onClose;
};
