#pragma once

#include <QString>

class WebUpdate;

// The windows of the manual update check: the update wizard and the message box.
class UpdateWizardView {
public:
    virtual ~UpdateWizardView() = default;
    // Runs the wizard over the update as a modal dialog; returns when it has closed.
    virtual void Execute(WebUpdate& update) = 0;
    // A message box titled with the application title, centred, one button OK.
    virtual void showMessage(const QString& text) = 0;
};
