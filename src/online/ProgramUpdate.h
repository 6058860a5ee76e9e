#pragma once

#include "online/WebServer.h"

#include <QString>
#include <functional>

class LogSink;
class UpdateWizardView;
class WebUpdate;

// The two update checks of the program: at the end of the automatic run and by the button
// "auf Update prüfen". The caller decides whether they may run at all (online and allowed).
class ProgramUpdate {
public:
    // installedVersion: the product version; endProgram: ends the program after the wizard.
    ProgramUpdate(LogSink& log, WebUpdate& update, std::function<WebServer()> server,
                  QString installedVersion, std::function<void()> endProgram);

    void setWizard(UpdateWizardView* wizard) { m_wizard = wizard; }

    // Logs "Prüfe auf Update", compares the offered version with the installed one as numbers
    // and installs when it is newer; the same or an older one counts as current. A check that could read no control file logs its failure
    // through the status lines and installs nothing.
    void checkAutomatically();
    // The button: the wizard when a newer version is offered, else "Sie haben die aktuellste
    // Version".
    void checkByHand();

    // Every status message of the update becomes a log line.
    void logStatus(const QString& statusText);

private:
    LogSink& m_log;
    WebUpdate& m_update;
    std::function<WebServer()> m_server;
    QString m_installedVersion;
    std::function<void()> m_endProgram;
    UpdateWizardView* m_wizard = nullptr;
};
