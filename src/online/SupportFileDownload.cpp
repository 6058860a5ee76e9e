#include "online/SupportFileDownload.h"

#include "online/DownloadView.h"
#include "online/HttpsGet.h"
#include "online/StagedFile.h"
#include "online/TransferState.h"
#include "platform/WorkerCall.h"

#include <QFileInfo>

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
    const QString path = m_programFolder + eintragname;
    // exists() follows links: a link to nothing counts as missing.
    if (QFileInfo::exists(path) && lastWriteTime(path) >= eintragdatum)
        return;

    StagedFile file(path);
    if (!file.open())
        return;
    const WebServer server = m_server();
    HttpsRequest request;
    request.url = server.url(QLatin1String(kFilesPath) + eintragname);
    request.caFile = server.caFile;
    request.userAgent = kUserAgent;
    request.sink = &file.device();
    TransferState state;
    request.state = &state;
    request.totalTimeoutS = 0;
    if (m_view)
        m_view->transferStarting({eintragname, request.url, path, 0, 1}, state);
    HttpsResult result;
    try {
        result = workerCall([&request] { return httpsGet(request); });
    } catch (const std::exception&) {
        result.ok = false;
    }
    // Only a whole file with HTTP 200 replaces what is there; an error page or a cut transfer is
    // dropped with the temporary file.
    const bool ok = result.ok && file.commit();
    if (m_view)
        m_view->transferEnded(ok);
}
