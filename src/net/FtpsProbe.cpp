#include "net/FtpsProbe.h"

#include "net/KeyPin.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <QElapsedTimer>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

struct Socket {
    int fd = -1;
    ~Socket() {
        if (fd >= 0)
            ::close(fd);
    }
};

QString systemText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

// Waits until the socket can be read (or written); false at the deadline.
bool waitFor(int fd, short events, const QElapsedTimer& clock, int timeoutMs) {
    const qint64 left = timeoutMs - clock.elapsed();
    if (left <= 0)
        return false;
    pollfd p{fd, events, 0};
    return ::poll(&p, 1, int(left)) > 0;
}

int connectTo(const QString& host, int port, const QElapsedTimer& clock, int timeoutMs,
              QString& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(host.toUtf8().constData(), QByteArray::number(port).constData(),
                                 &hints, &found);
    if (rc != 0) {
        error = QStringLiteral("Der Server %1 ist nicht zu finden: %2")
                    .arg(host, QString::fromLocal8Bit(::gai_strerror(rc)));
        return -1;
    }
    std::unique_ptr<addrinfo, void (*)(addrinfo*)> list(found, ::freeaddrinfo);
    for (addrinfo* a = found; a; a = a->ai_next) {
        const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                                a->ai_protocol);
        if (fd < 0)
            continue;
        if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0 ||
            (errno == EINPROGRESS && waitFor(fd, POLLOUT, clock, timeoutMs))) {
            int soError = 0;
            socklen_t length = sizeof soError;
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &length);
            if (soError == 0) {
                ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
                return fd;
            }
            error = systemText(soError);
        } else if (error.isEmpty()) {
            error = errno == EINPROGRESS ? QStringLiteral("Zeitüberschreitung") : systemText(errno);
        }
        ::close(fd);
    }
    error = QStringLiteral("Keine Verbindung zu %1:%2: %3").arg(host).arg(port).arg(error);
    return -1;
}

// One reply of the control connection (its last line, "NNN text"); empty at the deadline.
QByteArray reply(int fd, const QElapsedTimer& clock, int timeoutMs) {
    QByteArray buffer;
    while (buffer.size() < 65536) {
        const qsizetype end = buffer.indexOf("\r\n");
        if (end >= 0) {
            const QByteArray line = buffer.left(end);
            buffer.remove(0, end + 2);
            // A reply ends with a line "NNN " (a line "NNN-" continues it).
            if (line.size() >= 4 && line[3] == ' ' && std::isdigit(uchar(line[0])))
                return line;
            continue;
        }
        if (!waitFor(fd, POLLIN, clock, timeoutMs))
            return QByteArray();
        char chunk[1024];
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0)
            return QByteArray();
        buffer.append(chunk, n);
    }
    return QByteArray();
}

} // namespace

namespace {

// The handshake on a connected socket and what the certificate shows; `quit` is sent over TLS
// before the end.
void readServerKey(FtpsServerKey& key, int fd, const QString& host, int port,
                   const QByteArray& quit);

int openSocket(FtpsServerKey& key, const QString& host, int port, int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    const int fd = connectTo(host, port, clock, timeoutMs, key.error);
    if (fd < 0)
        return fd;
    const timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    return fd;
}

} // namespace

FtpsServerKey probeTlsServer(const QString& host, int port, int timeoutMs) {
    FtpsServerKey key;
    Socket socket;
    socket.fd = openSocket(key, host, port, timeoutMs);
    if (socket.fd >= 0)
        readServerKey(key, socket.fd, host, port, QByteArray());
    return key;
}

FtpsServerKey probeFtpsServer(const QString& host, int port, int timeoutMs) {
    FtpsServerKey key;
    QElapsedTimer clock;
    clock.start();
    Socket socket;
    socket.fd = openSocket(key, host, port, timeoutMs);
    if (socket.fd < 0)
        return key;

    const QByteArray greeting = reply(socket.fd, clock, timeoutMs);
    if (!greeting.startsWith("220")) {
        key.error = QStringLiteral("Der Server %1:%2 grüßt nicht wie ein FTP-Server: %3")
                        .arg(host)
                        .arg(port)
                        .arg(QString::fromUtf8(greeting.left(200)));
        return key;
    }
    static const QByteArray auth = "AUTH TLS\r\n";
    if (::send(socket.fd, auth.constData(), size_t(auth.size()), MSG_NOSIGNAL) != auth.size()) {
        key.error = systemText(errno);
        return key;
    }
    const QByteArray answer = reply(socket.fd, clock, timeoutMs);
    if (!answer.startsWith("234") && !answer.startsWith("334")) {
        key.error = QStringLiteral("Der FTP-Server lehnt TLS ab: %1")
                        .arg(QString::fromUtf8(answer.left(200)));
        return key;
    }
    readServerKey(key, socket.fd, host, port, QByteArrayLiteral("QUIT\r\n"));
    return key;
}

namespace {

void readServerKey(FtpsServerKey& key, int fd, const QString& host, int port,
                   const QByteArray& quit) {
    std::unique_ptr<SSL_CTX, void (*)(SSL_CTX*)> context(SSL_CTX_new(TLS_client_method()),
                                                         SSL_CTX_free);
    if (!context) {
        key.error = QStringLiteral("TLS kann nicht vorbereitet werden");
        return;
    }
    SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION);
    SSL_CTX_set_default_verify_paths(context.get());
    // The handshake goes through whatever the certificate says; what it says is judged below.
    SSL_CTX_set_verify(context.get(), SSL_VERIFY_NONE, nullptr);
    std::unique_ptr<SSL, void (*)(SSL*)> ssl(SSL_new(context.get()), SSL_free);
    const QByteArray name = host.toUtf8();
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl.get());
    if (X509_VERIFY_PARAM_set1_ip_asc(param, name.constData()) != 1) {
        X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        X509_VERIFY_PARAM_set1_host(param, name.constData(), 0);
        SSL_set_tlsext_host_name(ssl.get(), name.constData());
    }
    SSL_set_fd(ssl.get(), fd);
    if (SSL_connect(ssl.get()) != 1) {
        char text[256] = {};
        ERR_error_string_n(ERR_get_error(), text, sizeof text);
        key.error = QStringLiteral("Der TLS-Handshake mit %1:%2 ist fehlgeschlagen: %3")
                        .arg(host)
                        .arg(port)
                        .arg(QString::fromLatin1(text));
        return;
    }
    X509* certificate = SSL_get1_peer_certificate(ssl.get());
    if (!certificate) {
        key.error = QStringLiteral("Der Server %1:%2 zeigt kein Zertifikat").arg(host).arg(port);
        return;
    }
    key.pin = publicKeyPin(certificate);
    X509_free(certificate);
    key.authorityVouches = SSL_get_verify_result(ssl.get()) == X509_V_OK;
    if (key.pin.isEmpty())
        key.error = QStringLiteral("Der Schlüssel des Servers %1:%2 kann nicht gelesen werden")
                        .arg(host)
                        .arg(port);
    if (!quit.isEmpty())
        SSL_write(ssl.get(), quit.constData(), int(quit.size()));
    SSL_shutdown(ssl.get());
}

} // namespace
