#pragma once

#include "core/Subsystems.h"
#include "online/ConnectivityCheck.h"
#include "online/ProgramUpdate.h"
#include "online/SupportFileDownload.h"
#include "online/WebUpdate.h"

#include <functional>

class DownloadView;
class LogSink;
class UpdateWizardView;

// The online parts of the program: the connectivity probe, the program update and the support
// files, all talking to the web server that the INI file (or the build) names.
class OnlineParts final : public ConnectivityProbe, public UpdateCheck, public SupportFiles {
public:
    struct Windows {
        UpdateWizardView* wizard = nullptr;      // null: no wizard and no message box
        DownloadView* supportProgress = nullptr; // null: support files download unseen
    };

    // iniPath: the INI file with WebServer= and WebCAFile=; endProgram closes the window.
    OnlineParts(LogSink& log, const QString& programFolder, const QString& iniPath, Windows windows,
                std::function<void()> endProgram);

    QString publicAddress() override;
    void checkAutomatically() override { m_programUpdate.checkAutomatically(); }
    void checkByHand() override { m_programUpdate.checkByHand(); }
    void fetchMissing() override { m_supportFiles.Berichtsvorlagencheck(); }

private:
    Windows m_windows;
    ConnectivityCheck m_probe;
    WebUpdate m_webUpdate;
    ProgramUpdate m_programUpdate;
    SupportFileDownload m_supportFiles;
};
