#pragma once

#include <QString>

// What the program core shows through the window. The window takes no decision of its own.
class ProgramView {
public:
    virtual ~ProgramView() = default;
    // Sizes the window by the window size rule for the screen that holds it.
    virtual void applyWindowSizeRule() = 0;
    virtual void setCaption(const QString& caption) = 0;
    // Replaces whatever notice shows by this one (HTML text, display times in ms).
    virtual void showCountdownNotice(const QString& html, int maxDisplayMs, int minDisplayMs) = 0;
    virtual void clearCountdownNotice() = 0;
    // Whether the grid and fields follow the settings; detached while the automatic run may come.
    virtual void setDataControlsAttached(bool attached) = 0;
    virtual void showConnectionTestResult(const QString& text) = 0;
    // Closes the window; the program then ends after its close query.
    virtual void closeWindow() = 0;
};
