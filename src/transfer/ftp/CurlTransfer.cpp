#include "transfer/ftp/CurlTransfer.h"

#include "platform/ProgramError.h"
#include "transfer/ftp/FtpsKnownHosts.h"

#include <curl/curl.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <QDate>
#include <QFile>
#include <QFileInfo>
#include <QUrl>

#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>

namespace {

constexpr int ConnectTimeoutS = 120;
constexpr int ReplyTimeoutS = 60;
constexpr int AcceptTimeoutMs = 10000;
constexpr long UploadBufferBytes = 512 * 1024;
constexpr int RemovalTimeoutS = 30;

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

// The FTPS server's certificate: accepted when an authority of the system vouches for it under
// the job's server name; otherwise its public key must be the one kept for the server, or is
// kept now when none is.
struct ServerKeyCheck {
    const CurlStoreRequest* request = nullptr;
    QByteArray accepted; // the key accepted in this attempt (the data connection shows it again)
    bool authorityVouched = false; // an authority vouched for the server in this attempt
    QString refusal;               // why the server's key was refused
};

// What the callbacks of one connection share.
struct Session {
    const CurlStoreRequest* request = nullptr;
    std::FILE* file = nullptr;
    curl_off_t read = 0;
    QList<QByteArray> replies; // every reply line of the control connection
    bool loggedIn = false;
    bool storSent = false;
    bool storAnswered = false;
    bool storRefused = false; // the first reply to STOR refused it outright
    ServerKeyCheck keys;
};

size_t readChunk(char* buffer, size_t size, size_t count, void* userdata) {
    auto* s = static_cast<Session*>(userdata);
    const size_t n = std::fread(buffer, 1, size * count, s->file);
    if (n == 0 && std::ferror(s->file))
        return CURL_READFUNC_ABORT;
    s->read += curl_off_t(n);
    return n;
}

size_t replyLine(char* buffer, size_t size, size_t count, void* userdata) {
    auto* s = static_cast<Session*>(userdata);
    const QByteArray reply = QByteArray(buffer, qsizetype(size * count)).trimmed();
    s->replies.append(reply);
    if (reply.startsWith("230") && !s->loggedIn) {
        s->loggedIn = true;
        if (s->request->onLoggedIn)
            s->request->onLoggedIn();
    }
    if (s->storSent && !s->storAnswered && !reply.isEmpty()) {
        s->storAnswered = true;
        s->storRefused = reply[0] == '4' || reply[0] == '5';
    }
    return size * count;
}

// Sees the commands going out: once STOR has gone, the server may have begun the file.
int traffic(CURL*, curl_infotype type, char* data, size_t size, void* userdata) {
    if (type == CURLINFO_HEADER_OUT && size >= 5 && std::memcmp(data, "STOR ", 5) == 0)
        static_cast<Session*>(userdata)->storSent = true;
    return 0;
}

QByteArray publicKeyPin(X509* certificate) {
    unsigned char* der = nullptr;
    const int length = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(certificate), &der);
    if (length <= 0)
        return QByteArray();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    const bool ok =
        EVP_Digest(der, size_t(length), digest, &digestLength, EVP_sha256(), nullptr) == 1;
    OPENSSL_free(der);
    if (!ok)
        return QByteArray();
    return "sha256//" +
           QByteArray(reinterpret_cast<const char*>(digest), qsizetype(digestLength)).toBase64();
}

// Takes the place of OpenSSL's certificate check in the handshake. A refusal ends the handshake,
// so the login is never sent to a server with another key.
int verifyServer(X509_STORE_CTX* store, void* arg) {
    auto* check = static_cast<ServerKeyCheck*>(arg);
    const CurlStoreRequest& request = *check->request;
    // A refusal must end the handshake whatever mode the connection was made with.
    auto* ssl =
        static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    if (ssl)
        SSL_set_verify(ssl, SSL_VERIFY_PEER, nullptr);
    // The certificate must name the job's server. Without a name to check, no authority can
    // vouch for the server: its key decides.
    X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(store);
    const QByteArray host = request.host.toUtf8();
    bool nameSet = false;
    if (!host.isEmpty()) {
        if (X509_VERIFY_PARAM_set1_ip_asc(param, host.constData()) == 1) {
            nameSet = true;
        } else {
            X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
            nameSet = X509_VERIFY_PARAM_set1_host(param, host.constData(), 0) == 1;
        }
    }
    const QString entry = FtpsKnownHosts::entryName(request.host, request.port);
    if (nameSet && X509_verify_cert(store) == 1) {
        // An authority vouches for the name: renewals just work, no key is kept. That it did is
        // kept, once, so a certificate of the server's own making is refused from now on.
        if (!check->authorityVouched) {
            check->authorityVouched = true;
            FtpsKnownHosts knownHosts(request.knownHostsFolder);
            try {
                if (!knownHosts.authorityMarked(entry))
                    knownHosts.markAuthority(entry, QDate::currentDate());
            } catch (const std::exception& e) {
                if (request.note)
                    request.note(
                        QStringLiteral("FEHLER: %1 (FTPS-Server %2)").arg(exceptionText(e), entry));
            }
        }
        return 1;
    }
    X509* leaf = X509_STORE_CTX_get0_cert(store);
    const QByteArray offered = leaf ? publicKeyPin(leaf) : QByteArray();
    if (offered.isEmpty()) {
        check->refusal =
            QStringLiteral("Der Schlüssel des FTPS-Servers %1 kann nicht gelesen werden")
                .arg(entry);
        return 0;
    }
    FtpsKnownHosts knownHosts(request.knownHostsFolder);
    // A data connection whose control connection an authority vouched for is refused as well.
    const bool dataConnection = check->authorityVouched;
    bool marked = dataConnection;
    if (!marked) {
        try {
            marked = knownHosts.authorityMarked(entry);
        } catch (const std::exception& e) {
            check->refusal = exceptionText(e);
            return 0;
        }
    }
    if (marked) {
        check->refusal =
            QStringLiteral("Das Zertifikat des FTPS-Servers %1 war bisher von einer anerkannten "
                           "Zertifizierungsstelle bestätigt, jetzt nicht mehr (der Server zeigt "
                           "den Schlüssel %2). Das kann ein Angriff sein; %3 wurde nicht gesendet. "
                           "Ist das neue Zertifikat rechtmäßig, die Zeile \"%1 ca ...\" aus %4 "
                           "löschen; beim nächsten Upload wird sein Schlüssel gespeichert.")
                .arg(entry, QString::fromLatin1(offered),
                     dataConnection ? QStringLiteral("die Datei") : QStringLiteral("die Anmeldung"),
                     knownHosts.filePath());
        return 0;
    }
    if (offered != check->accepted) {
        QByteArray stored;
        try {
            stored = knownHosts.pinFor(entry);
        } catch (const std::exception& e) {
            check->refusal = exceptionText(e);
            return 0;
        }
        if (stored.isEmpty()) {
            // A key that cannot be kept would count as new again next time, and so would a
            // stranger's: without it kept, the login is not sent.
            try {
                knownHosts.store(entry, offered, QDate::currentDate());
            } catch (const std::exception& e) {
                check->refusal =
                    QStringLiteral("FEHLER: %1. Der Schlüssel %2 des FTPS-Servers %3 ist von "
                                   "keiner bekannten Zertifizierungsstelle bestätigt und kann "
                                   "nicht gespeichert werden; die Anmeldung wurde nicht gesendet.")
                        .arg(exceptionText(e), QString::fromLatin1(offered), entry);
                return 0;
            }
            if (request.note)
                request.note(
                    QStringLiteral("Das Zertifikat des FTPS-Servers %1 ist von keiner bekannten "
                                   "Zertifizierungsstelle bestätigt; sein Schlüssel %2 wurde beim "
                                   "ersten Kontakt in %3 gespeichert und wird künftig verlangt.")
                        .arg(entry, QString::fromLatin1(offered), knownHosts.filePath()));
        } else if (stored != offered) {
            check->refusal =
                QStringLiteral("Der Schlüssel des FTPS-Servers %1 hat sich geändert: gespeichert "
                               "ist %2, der Server zeigt %3. Das kann ein Angriff sein; die "
                               "Anmeldung wurde nicht gesendet. Ist das neue Zertifikat "
                               "rechtmäßig, die Zeile \"%1 ...\" aus %4 löschen; beim nächsten "
                               "Upload wird der neue Schlüssel gespeichert.")
                    .arg(entry, QString::fromLatin1(stored), QString::fromLatin1(offered),
                         knownHosts.filePath());
            return 0;
        }
        check->accepted = offered;
    }
    X509_STORE_CTX_set_error(store, X509_V_OK);
    return 1;
}

// libcurl hands over each TLS context before its handshake (control and data connection).
CURLcode prepareTls(CURL*, void* sslContext, void* userdata) {
    auto* ctx = static_cast<SSL_CTX*>(sslContext);
    // The system's authorities, as OpenSSL finds them (SSL_CERT_FILE / SSL_CERT_DIR honoured).
    SSL_CTX_set_default_verify_paths(ctx);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_cert_verify_callback(ctx, verifyServer, userdata);
    return CURLE_OK;
}

void globalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

QByteArray serverUrl(const CurlStoreRequest& request, const QString& path) {
    QUrl url;
    url.setScheme(QStringLiteral("ftp"));
    url.setHost(request.host);
    url.setPort(request.port);
    return url.toEncoded() + '/' + QUrl::toPercentEncoding(path, "/");
}

// The connection, the login and the TLS of both kinds of call.
void configure(CURL* c, const CurlStoreRequest& request, Session& session, char* errorBuffer,
               const QByteArray& user, const QByteArray& password) {
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_USERNAME, user.constData());
    curl_easy_setopt(c, CURLOPT_PASSWORD, password.constData());
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, replyLine);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &session);
    curl_easy_setopt(c, CURLOPT_FTP_FILEMETHOD, long(CURLFTPMETHOD_NOCWD));
    curl_easy_setopt(c, CURLOPT_FTP_CREATE_MISSING_DIRS, long(CURLFTP_CREATE_DIR_NONE));
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, long(ConnectTimeoutS));
    curl_easy_setopt(c, CURLOPT_SERVER_RESPONSE_TIMEOUT, long(ReplyTimeoutS));
    curl_easy_setopt(c, CURLOPT_ACCEPTTIMEOUT_MS, long(AcceptTimeoutMs));
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
        // Small firms' servers mostly have certificates of their own making: libcurl's own
        // check is off, the check above takes its place (authority or kept key).
        curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 0L);
        session.keys.request = &request;
        curl_easy_setopt(c, CURLOPT_SSL_CTX_FUNCTION, prepareTls);
        curl_easy_setopt(c, CURLOPT_SSL_CTX_DATA, &session.keys);
    } else {
        curl_easy_setopt(c, CURLOPT_USE_SSL, long(CURLUSESSL_NONE));
    }
}

QString failureText(CURLcode code, const Session& session, const char* errorBuffer) {
    if (!session.keys.refusal.isEmpty())
        return session.keys.refusal;
    if (code == CURLE_USE_SSL_FAILED)
        return QStringLiteral(
            "Der FTP-Server lehnt TLS ab; ohne Verschlüsselung wird nichts übertragen");
    return QString::fromUtf8(errorBuffer[0] ? errorBuffer : curl_easy_strerror(code)).trimmed();
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
    const QByteArray urlText = serverUrl(request, request.remotePath);

    Session session;
    session.request = &request;
    session.file = file.get();
    char errorBuffer[CURL_ERROR_SIZE] = {};
    const QByteArray user = request.user.toUtf8();
    const QByteArray password = request.password.toUtf8();
    // The server's own account of what it stored; '*': a server without SIZE does not fail the
    // store.
    const QByteArray sizeCommand = "*SIZE " + request.remotePath.toUtf8();
    std::unique_ptr<curl_slist, SlistCleanup> after(
        curl_slist_append(nullptr, sizeCommand.constData()));

    configure(c, request, session, errorBuffer, user, password);
    curl_easy_setopt(c, CURLOPT_URL, urlText.constData());
    curl_easy_setopt(c, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(c, CURLOPT_INFILESIZE_LARGE, size);
    curl_easy_setopt(c, CURLOPT_READFUNCTION, readChunk);
    curl_easy_setopt(c, CURLOPT_READDATA, &session);
    curl_easy_setopt(c, CURLOPT_UPLOAD_BUFFERSIZE, UploadBufferBytes);
    curl_easy_setopt(c, CURLOPT_POSTQUOTE, after.get());
    // Always binary: an archive sent in ASCII mode is rewritten by servers that convert line ends.
    curl_easy_setopt(c, CURLOPT_TRANSFERTEXT, 0L);
    // The commands going out (libcurl reports them only with its verbose output on).
    curl_easy_setopt(c, CURLOPT_DEBUGFUNCTION, traffic);
    curl_easy_setopt(c, CURLOPT_DEBUGDATA, &session);
    curl_easy_setopt(c, CURLOPT_VERBOSE, 1L);

    const CURLcode code = curl_easy_perform(c);
    result.loggedIn = session.loggedIn;
    // A STOR the server took on and that did not end in a whole file leaves a cut file.
    result.remoteTouched = session.storSent && !session.storRefused;
    if (code != CURLE_OK) {
        result.error = failureText(code, session, errorBuffer);
        return result;
    }

    // A store is only done when the whole file arrived: what was read, sent and stored must all
    // be the file's size.
    curl_off_t sent = 0;
    curl_easy_getinfo(c, CURLINFO_SIZE_UPLOAD_T, &sent);
    qint64 remote = -1;
    for (const QByteArray& reply : std::as_const(session.replies)) {
        if (reply.startsWith("213 ")) {
            bool ok = false;
            const qint64 value = reply.mid(4).trimmed().toLongLong(&ok);
            if (ok)
                remote = value;
        }
    }
    if (session.read != size || sent != size || (remote >= 0 && remote != qint64(size))) {
        result.error =
            QStringLiteral("Die Datei ist auf dem FTP-Server unvollständig: %1 von %2 Bytes")
                .arg(remote >= 0 ? remote : qint64(sent))
                .arg(qint64(size));
        return result;
    }
    result.stored = true;
    result.remoteTouched = false;
    return result;
}

QString curlRemove(const CurlStoreRequest& request) {
    globalInit();
    const QByteArray path = request.remotePath.toUtf8();
    if (path.contains('\r') || path.contains('\n'))
        return QStringLiteral("Der Pfad enthält einen Zeilenumbruch");
    std::unique_ptr<CURL, EasyCleanup> curl(curl_easy_init());
    if (!curl)
        return QStringLiteral("Der FTP-Client kann nicht angelegt werden");
    CURL* c = curl.get();

    Session session;
    char errorBuffer[CURL_ERROR_SIZE] = {};
    const QByteArray user = request.user.toUtf8();
    const QByteArray password = request.password.toUtf8();
    const QByteArray urlText = serverUrl(request, QString());
    // DELE, then SIZE tells whether the file is gone: a refused DELE of a file that was never
    // there is no failure. '*': a refusal does not end the connection before SIZE is asked.
    const QByteArray commands[] = {"*TYPE I", "*DELE " + path, "*SIZE " + path};
    std::unique_ptr<curl_slist, SlistCleanup> quote;
    for (const QByteArray& command : commands) {
        curl_slist* longer = curl_slist_append(quote.get(), command.constData());
        if (!longer)
            return QStringLiteral("Kein Speicher für die FTP-Befehle");
        quote.release();
        quote.reset(longer);
    }

    CurlStoreRequest quiet = request; // no login line for this connection
    quiet.onLoggedIn = nullptr;
    session.request = &quiet;
    configure(c, quiet, session, errorBuffer, user, password);
    curl_easy_setopt(c, CURLOPT_URL, urlText.constData());
    curl_easy_setopt(c, CURLOPT_NOBODY, 1L);
    curl_easy_setopt(c, CURLOPT_QUOTE, quote.get());
    curl_easy_setopt(c, CURLOPT_TIMEOUT, long(RemovalTimeoutS));

    const CURLcode code = curl_easy_perform(c);
    if (code != CURLE_OK)
        return failureText(code, session, errorBuffer);
    QByteArray deleReply;
    bool stillThere = false;
    for (const QByteArray& reply : std::as_const(session.replies)) {
        if (reply.startsWith("213 "))
            stillThere = true;
        if (deleReply.isEmpty() && (reply.startsWith("250") || reply.startsWith("450") ||
                                    reply.startsWith("550") || reply.startsWith("553")))
            deleReply = reply;
    }
    if (!stillThere)
        return QString();
    return deleReply.isEmpty() ? QStringLiteral("Die Datei ist noch vorhanden")
                               : QString::fromUtf8(deleReply);
}
