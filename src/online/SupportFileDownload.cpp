#include "online/SupportFileDownload.h"

#include "online/DownloadView.h"
#include "online/FileChecksums.h"
#include "online/FileReplacement.h"
#include "online/HttpsGet.h"
#include "online/SignedControlFile.h"
#include "online/StagedFile.h"
#include "online/TransferState.h"
#include "platform/WorkerCall.h"

#include <QFileInfo>

#include <algorithm>

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

bool SupportFileDownload::isElf(QFile& file) {
    if (!file.seek(0))
        return false;
    const QByteArray magic = file.read(4);
    return magic == QByteArray("\x7f"
                               "ELF",
                               4);
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

    const WebServer server = m_server();
    // The maker's signed control file names the library's size and SHA-256: only the file that
    // matches them replaces what is there.
    const SignedControlFile::Read control = SignedControlFile::fetch(
        server.url(QLatin1String(SignedControlFile::kControlPath)), server.caFile, m_key,
        m_programFolder, [](HttpsRequest& request) {
            request.userAgent = kUserAgent;
            return get(request);
        });
    if (!m_key.isSet()) {
        m_error = QStringLiteral("%1 wird nicht ersetzt: dieses Programm wurde ohne Schlüssel zur "
                                 "Prüfung der Dateien gebaut (ORVEL_UPDATE_PUBLIC_KEY)")
                      .arg(path);
        return;
    }
    if (!control.file) {
        m_error = QStringLiteral("%1 wird nicht ersetzt: %2").arg(path, control.error);
        return;
    }
    if (!control.file->library) {
        m_error = QStringLiteral("%1 wird nicht ersetzt: die Steuerdatei nennt keine "
                                 "Bibliothek (Library=)")
                      .arg(path);
        return;
    }
    const UpdateControlFile::LibraryEntry& expected = *control.file->library;

    StagedFile file(path);
    if (!file.open()) {
        m_error = file.errorText();
        return;
    }
    HttpsRequest request;
    request.url = server.url(QLatin1String(kFilesPath) + eintragname);
    request.caFile = server.caFile;
    request.userAgent = kUserAgent;
    request.sink = &file.device();
    request.maxBytes = std::min(expected.size, kMaxFileSize);
    TransferState state;
    request.state = &state;
    request.totalTimeoutS = 0;
    if (m_view)
        m_view->transferStarting({eintragname, request.url, path, 0, 1}, state);
    const HttpsResult result = get(request);
    // Only a whole file with HTTP 200 that matches the control file replaces what is there; an
    // error page, a cut transfer or any other file is dropped with the temporary file.
    if (!result.ok) {
        m_error = QStringLiteral("%1 wird nicht ersetzt: %2").arg(path, result.error);
    } else if (!file.finish()) {
        m_error = file.errorText();
    } else {
        // Read back through the handle that wrote it: what is checked is what is renamed.
        const auto sums = FileChecksums::ofDevice(file.device());
        if (!sums)
            m_error = QStringLiteral("%1 wird nicht ersetzt: die geladene Datei kann nicht "
                                     "gelesen werden")
                          .arg(path);
        else if (sums->size != expected.size || sums->sha256 != expected.sha256)
            m_error = QStringLiteral("%1 wird nicht ersetzt: die geladene Datei (%2 Bytes) ist "
                                     "nicht die Version %3 der Steuerdatei (%4 Bytes, SHA-256 "
                                     "stimmt nicht überein)")
                          .arg(path)
                          .arg(sums->size)
                          .arg(expected.version)
                          .arg(expected.size);
        else if (!isElf(file.device()))
            m_error = QStringLiteral("%1 wird nicht ersetzt: die geladene Datei ist keine "
                                     "Programmbibliothek (ELF)")
                          .arg(path);
    }
    if (m_error.isEmpty()) {
        FileReplacement replacement;
        if (!replacement.replaceAll({&file}))
            m_error = replacement.errors().join(QStringLiteral("; "));
    }
    if (m_view)
        m_view->transferEnded(m_error.isEmpty());
}
