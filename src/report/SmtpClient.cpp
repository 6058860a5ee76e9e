#include "report/SmtpClient.h"

#include "platform/ProgramError.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QHostInfo>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kQuitTimeoutS = 5;
constexpr qsizetype kMaxReplyLine = 64 * 1024;

QString systemText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

// The text of OpenSSL's error queue, emptied; what a handshake failure says.
QString sslErrors() {
    QStringList texts;
    while (const unsigned long e = ERR_get_error()) {
        char buffer[256];
        ERR_error_string_n(e, buffer, sizeof buffer);
        texts << QString::fromLatin1(buffer);
    }
    return texts.join(QStringLiteral("; "));
}

// The host name this machine gives in EHLO; an address literal where it is no domain name.
QByteArray ehloName() {
    const QByteArray name = QHostInfo::localHostName().toLatin1();
    bool valid = !name.isEmpty() && name.size() < 254;
    for (char c : name)
        valid = valid && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                          (c >= '0' && c <= '9') || c == '-' || c == '.');
    return valid ? name : QByteArrayLiteral("[127.0.0.1]");
}

// A write to a connection the server has closed raises SIGPIPE, which would end the program.
// While a guard lives, this thread holds the signal back and drops it afterwards; the write
// itself then fails with EPIPE and is reported as a lost connection.
class SigPipeGuard {
public:
    SigPipeGuard() {
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        sigpending(&m_pendingBefore);
        pthread_sigmask(SIG_BLOCK, &pipe, &m_old);
    }
    ~SigPipeGuard() {
        sigset_t pending;
        sigpending(&pending);
        if (sigismember(&pending, SIGPIPE) && !sigismember(&m_pendingBefore, SIGPIPE)) {
            sigset_t pipe;
            sigemptyset(&pipe);
            sigaddset(&pipe, SIGPIPE);
            const timespec none{0, 0};
            sigtimedwait(&pipe, nullptr, &none);
        }
        pthread_sigmask(SIG_SETMASK, &m_old, nullptr);
    }
    SigPipeGuard(const SigPipeGuard&) = delete;
    SigPipeGuard& operator=(const SigPipeGuard&) = delete;

private:
    sigset_t m_old;
    sigset_t m_pendingBefore;
};

struct SslCtxFree {
    void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
};
struct SslFree {
    void operator()(SSL* s) const { SSL_free(s); }
};

} // namespace

struct SmtpClient::Connection {
    int fd = -1;
    std::unique_ptr<SSL_CTX, SslCtxFree> ctx;
    std::unique_ptr<SSL, SslFree> ssl;
    QByteArray input;
    QString host;

    ~Connection() {
        ssl.reset();
        if (fd >= 0)
            ::close(fd);
    }

    // After an SSL call that did not finish: true when it only had to wait for the socket and
    // the socket became ready in time, so the call is to be made again. Otherwise `error` is
    // OpenSSL's verdict; a wish to wait then means the deadline passed (see waitedTooLong).
    bool retry(int result, const QDeadlineTimer& deadline, int& error) const {
        error = SSL_get_error(ssl.get(), result);
        return waitedTooLong(error) && waitFor(error, deadline);
    }
    static bool waitedTooLong(int error) {
        return error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE;
    }
    // What a failed call says: the system's error or OpenSSL's queue.
    static QString failureText(int error) {
        return error == SSL_ERROR_SYSCALL && errno ? systemText(errno) : sslErrors();
    }

    // Waits until the socket is ready for what OpenSSL asked, or the deadline passes.
    bool waitFor(int sslError, const QDeadlineTimer& deadline) const {
        pollfd p{fd, short(sslError == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN), 0};
        for (;;) {
            const qint64 left = deadline.remainingTime();
            if (left == 0)
                return false;
            const int r = ::poll(&p, 1, left < 0 ? -1 : int(qMin<qint64>(left, 1000 * 1000)));
            if (r > 0)
                return true;
            if (r < 0 && errno != EINTR)
                return false;
        }
    }
};

SmtpClient::SmtpClient(SmtpEndpoint endpoint) : m_endpoint(std::move(endpoint)) {}

SmtpClient::~SmtpClient() {
    close();
}

bool SmtpClient::isConnected() const {
    return m_connection != nullptr;
}

void SmtpClient::connect() {
    close();
    auto c = std::make_unique<Connection>();
    const QString where = m_endpoint.host + QLatin1Char(':') + QString::number(m_endpoint.port);
    const QDeadlineTimer deadline(qint64(m_endpoint.connectTimeoutS) * 1000);

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int gai = ::getaddrinfo(m_endpoint.host.toUtf8().constData(),
                                  QByteArray::number(m_endpoint.port).constData(), &hints, &found);
    if (gai != 0)
        throw ProgramError(QStringLiteral("Mailserver %1 nicht gefunden: %2")
                               .arg(m_endpoint.host, QString::fromLocal8Bit(gai_strerror(gai))));
    std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> addresses(found, freeaddrinfo);

    QString lastError = QStringLiteral("keine Adresse");
    for (addrinfo* a = found; a && c->fd < 0; a = a->ai_next) {
        const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            lastError = systemText(errno);
            continue;
        }
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        int r = ::connect(fd, a->ai_addr, a->ai_addrlen);
        if (r < 0 && errno == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            const qint64 left = deadline.remainingTime();
            r = ::poll(&p, 1, left < 0 ? -1 : int(left));
            if (r == 0) {
                lastError =
                    QStringLiteral("Zeitüberschreitung nach %1 s").arg(m_endpoint.connectTimeoutS);
                r = -1;
            } else if (r > 0) {
                int error = 0;
                socklen_t length = sizeof error;
                ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
                r = error == 0 ? 0 : -1;
                if (error != 0)
                    lastError = systemText(error);
            } else {
                lastError = systemText(errno);
            }
        } else if (r < 0) {
            lastError = systemText(errno);
        }
        if (r == 0)
            c->fd = fd;
        else
            ::close(fd);
    }
    if (c->fd < 0)
        throw ProgramError(
            QStringLiteral("Keine Verbindung zum Mailserver %1: %2").arg(where, lastError));

    // TLS from the first byte on, with the server proven to be the host we asked for.
    ERR_clear_error();
    c->ctx.reset(SSL_CTX_new(TLS_client_method()));
    if (!c->ctx)
        throw ProgramError(QStringLiteral("TLS nicht verfügbar: ") + sslErrors());
    SSL_CTX_set_min_proto_version(c->ctx.get(), TLS1_2_VERSION);
    SSL_CTX_set_verify(c->ctx.get(), SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_default_verify_paths(c->ctx.get());
    if (!m_endpoint.caFile.isEmpty() &&
        SSL_CTX_load_verify_locations(c->ctx.get(), m_endpoint.caFile.toLocal8Bit().constData(),
                                      nullptr) != 1)
        throw ProgramError(QStringLiteral("Zertifikatsdatei %1 kann nicht gelesen werden: %2")
                               .arg(m_endpoint.caFile, sslErrors()));
    c->ssl.reset(SSL_new(c->ctx.get()));
    if (!c->ssl)
        throw ProgramError(QStringLiteral("TLS nicht verfügbar: ") + sslErrors());
    const QByteArray host = m_endpoint.host.toUtf8();
    // Without the name set, any certificate an authority signed would pass: fail closed.
    bool nameSet = false;
    if (QHostAddress(m_endpoint.host).isNull()) {
        SSL_set_tlsext_host_name(c->ssl.get(), host.constData());
        nameSet = !host.isEmpty() && SSL_set1_host(c->ssl.get(), host.constData()) == 1;
    } else {
        nameSet =
            X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(c->ssl.get()), host.constData()) == 1;
    }
    if (!nameSet)
        throw ProgramError(QStringLiteral("TLS-Verbindung zum Mailserver %1 fehlgeschlagen: der "
                                          "Name %2 kann nicht für die Prüfung des Zertifikats "
                                          "gesetzt werden")
                               .arg(where, m_endpoint.host));
    SSL_set_fd(c->ssl.get(), c->fd);
    for (;;) {
        const int r = SSL_connect(c->ssl.get());
        if (r == 1)
            break;
        int error = 0;
        if (c->retry(r, deadline, error))
            continue;
        QString reason;
        const long verify = SSL_get_verify_result(c->ssl.get());
        if (verify != X509_V_OK)
            reason = QStringLiteral("Zertifikat des Servers nicht vertrauenswürdig (%1)")
                         .arg(QString::fromLatin1(X509_verify_cert_error_string(verify)));
        else if (Connection::waitedTooLong(error))
            reason = QStringLiteral("Zeitüberschreitung nach %1 s").arg(m_endpoint.connectTimeoutS);
        else
            reason = sslErrors();
        if (reason.isEmpty())
            reason = QStringLiteral("Verbindung vom Server beendet");
        throw ProgramError(QStringLiteral("TLS-Verbindung zum Mailserver %1 fehlgeschlagen: %2")
                               .arg(where, reason));
    }
    c->host = m_endpoint.host;
    m_connection = std::move(c);

    try {
        SmtpReply greeting = command({}, "Begrüßung", m_endpoint.replyTimeoutS);
        if (greeting.code != 220)
            refused("Begrüßung", greeting);
        const SmtpReply ehlo = expect("EHLO " + ehloName(), "EHLO", 250);
        m_extensions = ehlo.text.split(' ');
    } catch (...) {
        close();
        throw;
    }
}

void SmtpClient::login(const QString& user, const QString& password) {
    SmtpReply r = command("AUTH LOGIN", "AUTH LOGIN", m_endpoint.replyTimeoutS);
    if (r.code == 334)
        r = command(user.toUtf8().toBase64(), "AUTH LOGIN", m_endpoint.replyTimeoutS);
    if (r.code == 334)
        r = command(password.toUtf8().toBase64(), "AUTH LOGIN", m_endpoint.replyTimeoutS);
    if (r.code != 235)
        throw ProgramError(QStringLiteral("Anmeldung am Mailserver abgelehnt: ") +
                           QString::fromLatin1(r.text));
}

void SmtpClient::mailFrom(const QString& address, bool eightBitBody) {
    QByteArray line = "MAIL FROM:<" + address.toLatin1() + '>';
    if (eightBitBody && m_extensions.contains("8BITMIME"))
        line += " BODY=8BITMIME";
    expect(line, "MAIL FROM", 250);
}

SmtpReply SmtpClient::rcptTo(const QString& address) {
    return command("RCPT TO:<" + address.toLatin1() + '>', "RCPT TO", m_endpoint.replyTimeoutS);
}

void SmtpClient::data(const QByteArray& message) {
    expect("DATA", "DATA", 354);
    QByteArray stuffed;
    stuffed.reserve(message.size() + message.size() / 64 + 8);
    bool lineStart = true;
    for (char c : message) {
        if (lineStart && c == '.')
            stuffed += '.';
        stuffed += c;
        lineStart = c == '\n';
    }
    if (!stuffed.endsWith("\r\n"))
        stuffed += "\r\n";
    stuffed += '.';
    const SmtpReply r = command(stuffed, "Ende der Daten", m_endpoint.dataEndTimeoutS);
    if (r.code != 250)
        refused("Ende der Daten", r);
}

void SmtpClient::quit() {
    if (m_connection) {
        try {
            command("QUIT", "QUIT", kQuitTimeoutS);
        } catch (const std::exception&) {
            // The mail's outcome is known already; a server that hangs up first changes nothing.
        }
    }
    close();
}

void SmtpClient::close() {
    const SigPipeGuard guard;
    if (m_connection && m_connection->ssl)
        SSL_shutdown(m_connection->ssl.get()); // one try: the close-notify, no waiting
    m_connection.reset();
    ERR_clear_error();
}

SmtpReply SmtpClient::expect(const QByteArray& line, const char* what, int wantedCode) {
    const SmtpReply r = command(line, what, m_endpoint.replyTimeoutS);
    if (r.code != wantedCode)
        refused(what, r);
    return r;
}

void SmtpClient::refused(const char* what, const SmtpReply& reply) {
    throw ProgramError(QStringLiteral("Mailserver lehnt %1 ab: %2")
                           .arg(QString::fromUtf8(what), QString::fromLatin1(reply.text)));
}

SmtpReply SmtpClient::command(const QByteArray& line, const char* what, int timeoutS) {
    Connection* c = m_connection.get();
    if (!c)
        throw ProgramError(QStringLiteral("Keine Verbindung zum Mailserver"));
    const QDeadlineTimer deadline(qint64(timeoutS) * 1000);
    const auto lost = [&](const QString& reason) {
        const QString host = c->host;
        close();
        return ProgramError(QStringLiteral("Verbindung zum Mailserver %1 bei %2 unterbrochen: %3")
                                .arg(host, QString::fromUtf8(what), reason));
    };

    if (!line.isNull()) {
        const SigPipeGuard guard;
        const QByteArray out = line + "\r\n";
        qsizetype sent = 0;
        while (sent < out.size()) {
            ERR_clear_error();
            const int chunk = int(qMin<qsizetype>(out.size() - sent, 1 << 20));
            const int r = SSL_write(c->ssl.get(), out.constData() + sent, chunk);
            if (r > 0) {
                sent += r;
                continue;
            }
            int error = 0;
            if (c->retry(r, deadline, error))
                continue;
            if (Connection::waitedTooLong(error))
                throw lost(QStringLiteral("Zeitüberschreitung nach %1 s").arg(timeoutS));
            throw lost(Connection::failureText(error));
        }
    }

    // One reply: lines "ddd-text" until "ddd text".
    SmtpReply reply;
    QByteArrayList texts;
    for (;;) {
        const qsizetype end = c->input.indexOf("\r\n");
        if (end >= 0) {
            const QByteArray l = c->input.left(end);
            c->input.remove(0, end + 2);
            bool ok = false;
            const int code = l.left(3).toInt(&ok);
            if (!ok || l.size() < 3)
                throw lost(QStringLiteral("unverständliche Antwort"));
            texts << (texts.isEmpty() ? l : l.mid(4));
            if (l.size() == 3 || l.at(3) == ' ') {
                reply.code = code;
                reply.text = texts.join(' ');
                return reply;
            }
            continue;
        }
        if (c->input.size() > kMaxReplyLine)
            throw lost(QStringLiteral("zu lange Antwortzeile"));
        char buffer[4096];
        ERR_clear_error();
        const int r = SSL_read(c->ssl.get(), buffer, sizeof buffer);
        if (r > 0) {
            c->input.append(buffer, r);
            continue;
        }
        int error = 0;
        if (c->retry(r, deadline, error))
            continue;
        if (Connection::waitedTooLong(error))
            throw lost(QStringLiteral("keine Antwort innerhalb von %1 s").arg(timeoutS));
        if (error == SSL_ERROR_ZERO_RETURN || (error == SSL_ERROR_SYSCALL && r == 0))
            throw lost(QStringLiteral("Verbindung vom Server beendet"));
        throw lost(Connection::failureText(error));
    }
}
