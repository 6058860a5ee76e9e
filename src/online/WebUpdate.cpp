#include "online/WebUpdate.h"

#include "online/DownloadView.h"
#include "online/FileChecksums.h"
#include "online/HttpsGet.h"
#include "online/SignedControlFile.h"
#include "online/StagedFile.h"
#include "online/TransferState.h"
#include "platform/WorkerCall.h"

#include <QFileInfo>

#include <memory>
#include <vector>

WebUpdate::WebUpdate(std::function<WebServer()> server, QString programFolder,
                     QString installedVersion)
    : m_server(std::move(server)), m_programFolder(std::move(programFolder)),
      m_installedVersion(std::move(installedVersion)) {
    m_controlUrl = m_server().url(QLatin1String(kControlPath));
}

void WebUpdate::status(const QString& text) {
    if (onStatus)
        onStatus(text);
}

HttpsResult WebUpdate::get(HttpsRequest& request) {
    request.userAgent = kUserAgent;
    HttpsResult result;
    try {
        result = workerCall([&request] { return httpsGet(request); });
    } catch (const std::exception& e) {
        result.error = QString::fromUtf8(e.what());
    }
    return result;
}

bool WebUpdate::fetchControlFile() {
    m_control.reset();
    status(QStringLiteral("Lade Steuerdatei ") + m_controlUrl);
    // The signature is the maker's word for the file's exact bytes; without a key to check it
    // with, the file may still be read and reported, but DoUpdate installs nothing.
    SignedControlFile::Read read = SignedControlFile::fetch(
        m_controlUrl, m_server().caFile, m_key, m_programFolder,
        [this](HttpsRequest& request) { return get(request); });
    if (!read.file) {
        status(read.error);
        return false;
    }
    m_control = std::move(read.file);
    return true;
}

bool WebUpdate::NewVersionAvailable() {
    CurVersionInfo = m_installedVersion;
    NewVersionInfo.clear();
    if (!fetchControlFile())
        return false;
    NewVersionInfo = m_control->version;
    const auto offered = versionNumbers(NewVersionInfo);
    const auto installed = versionNumbers(CurVersionInfo);
    const bool newer = offered && installed && *offered > *installed;
    status(newer ? QStringLiteral("Eine neue Version ist verfügbar: ") + NewVersionInfo
                 : QStringLiteral("Keine neue Version ist verfügbar (Server: %1, installiert: %2)")
                       .arg(NewVersionInfo, CurVersionInfo));
    return newer;
}

bool WebUpdate::DoUpdate() {
    if (!NewVersionAvailable())
        return false;
    const UpdateControlFile control = *m_control;
    if (!m_key.isSet()) {
        status(QStringLiteral("Das Update wird nicht installiert: dieses Programm wurde ohne "
                              "Schlüssel zur Prüfung der Updates gebaut "
                              "(ORVEL_UPDATE_PUBLIC_KEY)"));
        return false;
    }
    if (control.files.isEmpty()) {
        status(QStringLiteral("Auf dem Server wurden keine Dateien gefunden"));
        return false;
    }

    // A file is outdated when it is missing or differs from the control file.
    QList<UpdateControlFile::Entry> outdated;
    for (const UpdateControlFile::Entry& entry : control.files) {
        const auto local = FileChecksums::ofFile(m_programFolder + entry.name);
        if (!local || local->size != entry.size || local->crc32 != entry.crc32)
            outdated << entry;
    }
    if (outdated.isEmpty()) {
        status(QStringLiteral("Alle Programmdateien entsprechen bereits der Version ") +
               control.version);
        return true;
    }
    const auto failed = [this] {
        status(QStringLiteral("Das Herunterladen von Updates ist fehlgeschlagen, keine Datei "
                              "wurde ersetzt"));
        return false;
    };
    // A link or a folder in the place of a file to be replaced stops the update before anything
    // is fetched.
    for (const UpdateControlFile::Entry& entry : std::as_const(outdated)) {
        const QString refused = StagedFile::refusedTarget(m_programFolder + entry.name);
        if (!refused.isEmpty()) {
            status(refused);
            return failed();
        }
    }

    // Every outdated file is fetched and checked under a temporary name first; only when all of
    // them are complete does any of them replace its old file.
    const WebServer server = m_server();
    std::vector<std::unique_ptr<StagedFile>> staged;
    TransferState state;
    for (qsizetype i = 0; i < outdated.size(); ++i) {
        const UpdateControlFile::Entry& entry = outdated[i];
        const QString url = server.url(QLatin1String(kFilesPath) + entry.name);
        status(QStringLiteral("Lade Datei ") + entry.name);
        auto file = std::make_unique<StagedFile>(m_programFolder + entry.name);
        QString refused;
        if (!file->open()) {
            refused = file->errorText();
        } else {
            HttpsRequest request;
            request.url = url;
            request.caFile = server.caFile;
            request.sink = &file->device();
            request.maxBytes = entry.size;
            request.state = &state;
            request.totalTimeoutS = 0;
            state.reset();
            if (m_view)
                m_view->transferStarting(
                    {entry.name, url, file->target(), int(i), int(outdated.size())}, state);
            const HttpsResult result = get(request);
            if (!result.ok) {
                refused = result.error;
            } else if (!file->finish()) {
                refused = file->errorText();
            } else {
                // Read back through the handle that wrote it: what is checked is what is renamed.
                const auto sums = FileChecksums::ofDevice(file->device());
                if (!sums)
                    refused = QStringLiteral("die geladene Datei kann nicht gelesen werden");
                else if (sums->size != entry.size)
                    refused = QStringLiteral("%1 statt %2 Bytes").arg(sums->size).arg(entry.size);
                else if (sums->sha256 != entry.sha256)
                    refused = QStringLiteral("SHA-256 stimmt nicht mit der Steuerdatei überein");
            }
            if (m_view)
                m_view->transferEnded(refused.isEmpty());
        }
        if (!refused.isEmpty()) {
            status(QStringLiteral("Datei %1 verworfen: %2").arg(entry.name, refused));
            return failed();
        }
        staged.push_back(std::move(file));
    }

    std::vector<StagedFile*> files;
    for (const auto& file : staged)
        files.push_back(file.get());
    FileReplacement replacement(m_rename);
    if (!replacement.replaceAll(files)) {
        for (const QString& error : replacement.errors())
            status(error);
        status(QStringLiteral("Update auf Version %1 nicht installiert, die bisherigen Dateien "
                              "bleiben")
                   .arg(control.version));
        return false;
    }
    for (const auto& file : staged)
        status(QStringLiteral("Datei %1 ersetzt").arg(QFileInfo(file->target()).fileName()));
    status(QStringLiteral("Update auf Version %1 installiert, sie gilt ab dem nächsten "
                          "Programmstart")
               .arg(control.version));
    return true;
}
