#include "transfer/CurlTransfer.h"

#include "transfer/FtpUpload.h"

#include <curl/curl.h>

#include <QFile>
#include <QFileInfo>
#include <QUrl>

#include <cstdio>
#include <memory>
#include <mutex>

namespace {

struct FileCloser {
    void operator()(std::FILE* f) const {
        if (f)
            std::fclose(f);
    }
};

struct EasyCleanup {
    void operator()(CURL* c) const { curl_easy_cleanup(c); }
};

struct SlistCleanup {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

struct Progress {
    std::FILE* file = nullptr;
    curl_off_t read = 0;
    QList<QByteArray> replies; // every reply line of the control connection
};

size_t readChunk(char* buffer, size_t size, size_t count, void* userdata) {
    auto* p = static_cast<Progress*>(userdata);
    const size_t n = std::fread(buffer, 1, size * count, p->file);
    if (n == 0 && std::ferror(p->file))
        return CURL_READFUNC_ABORT;
    p->read += curl_off_t(n);
    return n;
}

size_t replyLine(char* buffer, size_t size, size_t count, void* userdata) {
    auto* p = static_cast<Progress*>(userdata);
    p->replies.append(QByteArray(buffer, qsizetype(size * count)).trimmed());
    return size * count;
}

void globalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

} // namespace

CurlStoreResult curlStore(const CurlStoreRequest& request) {
    globalInit();
    CurlStoreResult result;

    const QByteArray localName = QFile::encodeName(request.localPath);
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(localName.constData(), "rb"));
    if (!file) {
        result.error =
            QStringLiteral("Die ZIP-Datei kann nicht gelesen werden: ") + request.localPath;
        return result;
    }
    const curl_off_t size = curl_off_t(QFileInfo(request.localPath).size());

    std::unique_ptr<CURL, EasyCleanup> curl(curl_easy_init());
    if (!curl) {
        result.error = QStringLiteral("Der FTP-Client kann nicht angelegt werden");
        return result;
    }
    CURL* c = curl.get();

    // One STOR of the whole path, without changing or creating folders. A path starting with
    // '/' is absolute on the server; otherwise it is relative to the login folder.
    const QByteArray path = QUrl::toPercentEncoding(request.remotePath, "/");
    QUrl url;
    url.setScheme(QStringLiteral("ftp"));
    url.setHost(request.host);
    url.setPort(request.port);
    const QByteArray urlText = url.toEncoded() + '/' + path;

    Progress progress;
    progress.file = file.get();
    char errorBuffer[CURL_ERROR_SIZE] = {};
    const QByteArray user = request.user.toUtf8();
    const QByteArray password = request.password.toUtf8();
    // The server's own account of what it stored; '*': a server without SIZE does not fail the
    // store.
    const QByteArray sizeCommand = "*SIZE " + request.remotePath.toUtf8();
    std::unique_ptr<curl_slist, SlistCleanup> after(
        curl_slist_append(nullptr, sizeCommand.constData()));

    curl_easy_setopt(c, CURLOPT_URL, urlText.constData());
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_USERNAME, user.constData());
    curl_easy_setopt(c, CURLOPT_PASSWORD, password.constData());
    curl_easy_setopt(c, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(c, CURLOPT_INFILESIZE_LARGE, size);
    curl_easy_setopt(c, CURLOPT_READFUNCTION, readChunk);
    curl_easy_setopt(c, CURLOPT_READDATA, &progress);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, replyLine);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &progress);
    curl_easy_setopt(c, CURLOPT_UPLOAD_BUFFERSIZE, FtpUpload::UploadBufferBytes);
    curl_easy_setopt(c, CURLOPT_FTP_FILEMETHOD, long(CURLFTPMETHOD_NOCWD));
    curl_easy_setopt(c, CURLOPT_FTP_CREATE_MISSING_DIRS, long(CURLFTP_CREATE_DIR_NONE));
    curl_easy_setopt(c, CURLOPT_POSTQUOTE, after.get());
    // Always binary: an archive sent in ASCII mode is rewritten by servers that convert line ends.
    curl_easy_setopt(c, CURLOPT_TRANSFERTEXT, 0L);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, long(FtpUpload::ConnectTimeoutS));
    curl_easy_setopt(c, CURLOPT_SERVER_RESPONSE_TIMEOUT, long(FtpUpload::ReplyTimeoutS));
    curl_easy_setopt(c, CURLOPT_ACCEPTTIMEOUT_MS, long(FtpUpload::AcceptTimeoutMs));
    curl_easy_setopt(c, CURLOPT_TIMEOUT, 0L); // the transfer itself may take as long as it takes
    curl_easy_setopt(c, CURLOPT_TCP_KEEPALIVE, 1L);
    curl_easy_setopt(c, CURLOPT_PROXY, "");
    // Active data connections only without TLS: this libcurl sends the data of an active FTPS
    // transfer unencrypted after PROT P, so FTPS always goes passive.
    if (!request.passive && !request.explicitTls)
        curl_easy_setopt(c, CURLOPT_FTPPORT, "-"); // active, on the control connection's address
    if (request.explicitTls) {
        // TLS or nothing: a server that refuses AUTH never sees the password in clear.
        curl_easy_setopt(c, CURLOPT_USE_SSL, long(CURLUSESSL_ALL));
        curl_easy_setopt(c, CURLOPT_FTPSSLAUTH, long(CURLFTPAUTH_TLS));
        curl_easy_setopt(c, CURLOPT_SSLVERSION, long(CURL_SSLVERSION_TLSv1_2));
        // Small firms' servers mostly have certificates of their own making.
        curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 0L);
    } else {
        curl_easy_setopt(c, CURLOPT_USE_SSL, long(CURLUSESSL_NONE));
    }

    const CURLcode code = curl_easy_perform(c);
    for (const QByteArray& reply : std::as_const(progress.replies))
        if (reply.startsWith("230"))
            result.loggedIn = true;
    if (code != CURLE_OK) {
        if (code == CURLE_USE_SSL_FAILED)
            result.error = QStringLiteral(
                "Der FTP-Server lehnt TLS ab; ohne Verschlüsselung wird nichts übertragen");
        else
            result.error =
                QString::fromUtf8(errorBuffer[0] ? errorBuffer : curl_easy_strerror(code))
                    .trimmed();
        return result;
    }

    // A store is only done when the whole file arrived: what was read, sent and stored must all
    // be the file's size.
    curl_off_t sent = 0;
    curl_easy_getinfo(c, CURLINFO_SIZE_UPLOAD_T, &sent);
    qint64 remote = -1;
    for (const QByteArray& reply : std::as_const(progress.replies)) {
        if (reply.startsWith("213 ")) {
            bool ok = false;
            const qint64 value = reply.mid(4).trimmed().toLongLong(&ok);
            if (ok)
                remote = value;
        }
    }
    if (progress.read != size || sent != size || (remote >= 0 && remote != qint64(size))) {
        result.error =
            QStringLiteral("Die Datei ist auf dem FTP-Server unvollständig: %1 von %2 Bytes")
                .arg(remote >= 0 ? remote : qint64(sent))
                .arg(qint64(size));
        return result;
    }
    result.stored = true;
    return result;
}
