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

    // The status line of a program the package manager updates.
    static constexpr const char* kPackageManagedStatus = "Aktualisierung über die Paketverwaltung";

    // iniPath: the INI file with WebServer= and WebCAFile=; endProgram closes the window.
    // packageManaged: the package manager installs and updates the program files and the SFTP
    // library, so the update only says so and the library is never downloaded.
    OnlineParts(LogSink& log, const QString& programFolder, const QString& iniPath, Windows windows,
                std::function<void()> endProgram, bool packageManaged);

    QString publicAddress() override;
    void checkAutomatically() override;
    void checkByHand() override;
    void fetchMissing() override;

private:
    LogSink& m_log;
    bool m_packageManaged;
    Windows m_windows;
    ConnectivityCheck m_probe;
    WebUpdate m_webUpdate;
    ProgramUpdate m_programUpdate;
    SupportFileDownload m_supportFiles;
};
