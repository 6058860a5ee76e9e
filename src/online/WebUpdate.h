#pragma once

#include "online/UpdateControlFile.h"
#include "online/WebServer.h"

#include <QString>
#include <functional>

class DownloadView;

// The program update: reads the control file on the maker's web server, tells whether it
// offers a newer version and installs its program files into the program folder. Every step
// reports a German status message; a file replaces nothing unless it arrived whole with HTTP 200
// and matches the control file's size and SHA-256, and no file is replaced before all of them
// have arrived.
class WebUpdate {
public:
    static constexpr const char* kUserAgent = "TWebUpdate";
    static constexpr const char* kControlPath = "/secure/orvelsqlbackup.INF";
    // The program files named by the control file lie here on the server.
    static constexpr const char* kFilesPath = "/secure/OrvelSQLBackup/update/";

    WebUpdate(std::function<WebServer()> server, QString programFolder, QString installedVersion);

    void setControlFileUrl(const QString& url) { m_controlUrl = url; }
    const QString& controlFileUrl() const { return m_controlUrl; }
    void setDownloadView(DownloadView* view) { m_view = view; }
    // Called with each status message.
    std::function<void(const QString&)> onStatus;

    // Reads the control file and compares its version with the installed one; true when it
    // offers a newer one. Fills NewVersionInfo (empty when no control file was read) and
    // CurVersionInfo. Never throws.
    bool NewVersionAvailable();
    // Whether the last NewVersionAvailable read a valid control file.
    bool controlFileRead() const { return m_control.has_value(); }
    // Whether the control file last read names no program file at all.
    bool noFilesOffered() const { return m_control && m_control->files.isEmpty(); }
    // The whole update without a dialog: the check again, then the outdated program files
    // fetched and installed. True when a newer version is now installed. Never throws.
    bool DoUpdate();

    QString NewVersionInfo;
    QString CurVersionInfo;

private:
    void status(const QString& text);
    bool fetchControlFile();

    std::function<WebServer()> m_server;
    QString m_programFolder;
    QString m_installedVersion;
    QString m_controlUrl;
    DownloadView* m_view = nullptr;
    std::optional<UpdateControlFile> m_control;
};
