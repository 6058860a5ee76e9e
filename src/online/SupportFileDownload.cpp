#include "online/SupportFileDownload.h"

#include "online/DownloadView.h"
#include "online/FileReplacement.h"
#include "online/HttpsGet.h"
#include "online/StagedFile.h"
#include "online/TransferState.h"
#include "platform/WorkerCall.h"

#include <QFileInfo>

namespace {
HttpsResult get(const HttpsRequest& request) {
    try {
        return workerCall([&request] { return httpsGet(request); });
    } catch (const std::exception& e) {
        HttpsResult failed;
        failed.error = QString::fromUtf8(e.what());
        return failed;
    }
}
} // namespace

QList<SupportFileDownload::SupportFile> SupportFileDownload::supportFiles() {
    return {{QStringLiteral("libtgputtylib.so"), QDate(2023, 9, 15)}};
}

SupportFileDownload::SupportFileDownload(std::function<WebServer()> server, QString programFolder)
    : m_server(std::move(server)), m_programFolder(std::move(programFolder)) {}

void SupportFileDownload::Berichtsvorlagencheck() {
    for (const SupportFile& file : supportFiles())
        Berichtsvorlagendownload(file.name, QDateTime(file.referenceDate, QTime(0, 0)));
}

QDateTime SupportFileDownload::lastWriteTime(const QString& path) {
    const QDateTime written = QFileInfo(path).lastModified().toLocalTime();
    const qint64 seconds = written.toSecsSinceEpoch();
    // Down to the even second before, as a file date of two-second steps holds it.
    return QDateTime::fromSecsSinceEpoch(seconds - (((seconds % 2) + 2) % 2)).toLocalTime();
}

void SupportFileDownload::Berichtsvorlagendownload(const QString& eintragname,
                                                   const QDateTime& eintragdatum) {
    m_error.clear();
    const QString path = m_programFolder + eintragname;
    // A link in the file's place is left alone, whatever it points to.
    m_error = StagedFile::refusedTarget(path);
    if (!m_error.isEmpty())
        return;
    if (QFileInfo::exists(path) && lastWriteTime(path) >= eintragdatum)
        return;

    StagedFile file(path);
    if (!file.open()) {
        m_error = file.errorText();
        return;
    }
    const WebServer server = m_server();
    HttpsRequest request;
    request.url = server.url(QLatin1String(kFilesPath) + eintragname);
    request.caFile = server.caFile;
    request.userAgent = kUserAgent;
    request.sink = &file.device();
    request.maxBytes = kMaxFileSize;
    TransferState state;
    request.state = &state;
    request.totalTimeoutS = 0;
    if (m_view)
        m_view->transferStarting({eintragname, request.url, path, 0, 1}, state);
    const HttpsResult result = get(request);
    // Only a whole file with HTTP 200 and the maker's signature replaces what is there; an error
    // page, a cut transfer or a file nobody signed is dropped with the temporary file.
    if (!result.ok) {
        m_error = result.error;
    } else if (!m_key.isSet()) {
        m_error = QStringLiteral("%1 wird nicht ersetzt: dieses Programm wurde ohne Schlüssel zur "
                                 "Prüfung der Dateien gebaut (ORVEL_UPDATE_PUBLIC_KEY)")
                      .arg(path);
    } else if (!file.finish()) {
        m_error = file.errorText();
    } else {
        HttpsRequest signatureRequest;
        signatureRequest.url = request.url + QStringLiteral(".sig");
        signatureRequest.caFile = server.caFile;
        signatureRequest.userAgent = kUserAgent;
        signatureRequest.maxBytes = UpdateKey::kSignatureSize;
        const HttpsResult signature = get(signatureRequest);
        if (!signature.ok)
            m_error = QStringLiteral("Die Signatur von %1 fehlt: %2").arg(path, signature.error);
        else if (!m_key.verifiesFile(file.device(), signature.body))
            m_error = QStringLiteral("Die Signatur von %1 ist ungültig (%2)")
                          .arg(path, signatureRequest.url);
    }
    if (m_error.isEmpty()) {
        FileReplacement replacement;
        if (!replacement.replaceAll({&file}))
            m_error = replacement.errors().join(QStringLiteral("; "));
    }
    if (m_view)
        m_view->transferEnded(m_error.isEmpty());
}
