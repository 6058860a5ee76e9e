#pragma once

#include "online/FileReplacement.h"
#include "online/SignedControlFile.h"
#include "online/UpdateControlFile.h"
#include "online/UpdateKey.h"
#include "online/WebServer.h"

#include <QString>
#include <functional>

class DownloadView;
struct HttpsRequest;
struct HttpsResult;

// The program update: reads the control file on the maker's web server, tells whether it
// offers a newer version and installs its program files into the program folder. Every step
// reports a German status message.
//
// The control file counts only with its signature by the maker's key (UpdateKey), fetched from
// the control file's address plus ".sig", and only while it has not expired and its serial is
// not lower than the highest seen (SignedControlFile); it names each file with its size and
// SHA-256, so nothing the server sends beyond it needs a signature of its own. A file replaces nothing
// unless it arrived whole with HTTP 200 and matches the control file's size and SHA-256; no file
// is replaced before all of them have arrived, and a rename that fails puts the files already
// replaced back (FileReplacement). A build without a key reads the control file and reports
// what it offers, but installs nothing.
class WebUpdate {
public:
    static constexpr const char* kUserAgent = "TWebUpdate";
    static constexpr const char* kControlPath = SignedControlFile::kControlPath;
    // The program files named by the control file lie here on the server.
    static constexpr const char* kFilesPath = "/secure/OrvelSQLBackup/update/";

    WebUpdate(std::function<WebServer()> server, QString programFolder, QString installedVersion);

    void setControlFileUrl(const QString& url) { m_controlUrl = url; }
    void setDownloadView(DownloadView* view) { m_view = view; }
    // The key the control file must be signed with; the build's key unless set here.
    void setVerifyingKey(UpdateKey key) { m_key = std::move(key); }
    // How the staged files are renamed over the old ones; rename(2) unless set here.
    void setRenameFunction(FileReplacement::RenameFunction rename) { m_rename = std::move(rename); }
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
    HttpsResult get(HttpsRequest& request);

    std::function<WebServer()> m_server;
    QString m_programFolder;
    QString m_installedVersion;
    QString m_controlUrl;
    DownloadView* m_view = nullptr;
    std::optional<UpdateControlFile> m_control;
    UpdateKey m_key = UpdateKey::builtIn();
    FileReplacement::RenameFunction m_rename;
};
