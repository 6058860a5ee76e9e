#include "transfer/tgputtylib/SshSession.h"

#include "transfer/tgputtylib/ConfigTable.h"
#include "transfer/tgputtylib/ProxyRoute.h"

#include <algorithm>
#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace tgputty {

namespace {

std::atomic<int> s_outputLevel{0};

// Slices of a wait, so that an abort request is seen soon.
constexpr int WaitSliceMs = 100;

std::string base64(const unsigned char* data, size_t len) {
    static const char table[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < len; i += 3) {
        const unsigned v =
            data[i] << 16 | (i + 1 < len ? data[i + 1] << 8 : 0) | (i + 2 < len ? data[i + 2] : 0);
        out += table[v >> 18 & 63];
        out += table[v >> 12 & 63];
        if (i + 1 < len)
            out += table[v >> 6 & 63];
        if (i + 2 < len)
            out += table[v & 63];
    }
    return out;
}

const char* hostKeyTypeName(int type) {
    switch (type) {
    case LIBSSH2_HOSTKEY_TYPE_RSA:
        return "ssh-rsa";
    case LIBSSH2_HOSTKEY_TYPE_DSS:
        return "ssh-dss";
    case LIBSSH2_HOSTKEY_TYPE_ECDSA_256:
        return "ecdsa-sha2-nistp256";
    case LIBSSH2_HOSTKEY_TYPE_ECDSA_384:
        return "ecdsa-sha2-nistp384";
    case LIBSSH2_HOSTKEY_TYPE_ECDSA_521:
        return "ecdsa-sha2-nistp521";
    case LIBSSH2_HOSTKEY_TYPE_ED25519:
        return "ssh-ed25519";
    default:
        return "unknown";
    }
}

int knownHostKeyBit(int type) {
    switch (type) {
    case LIBSSH2_HOSTKEY_TYPE_RSA:
        return LIBSSH2_KNOWNHOST_KEY_SSHRSA;
    case LIBSSH2_HOSTKEY_TYPE_DSS:
        return LIBSSH2_KNOWNHOST_KEY_SSHDSS;
    case LIBSSH2_HOSTKEY_TYPE_ECDSA_256:
        return LIBSSH2_KNOWNHOST_KEY_ECDSA_256;
    case LIBSSH2_HOSTKEY_TYPE_ECDSA_384:
        return LIBSSH2_KNOWNHOST_KEY_ECDSA_384;
    case LIBSSH2_HOSTKEY_TYPE_ECDSA_521:
        return LIBSSH2_KNOWNHOST_KEY_ECDSA_521;
    case LIBSSH2_HOSTKEY_TYPE_ED25519:
        return LIBSSH2_KNOWNHOST_KEY_ED25519;
    default:
        return LIBSSH2_KNOWNHOST_KEY_UNKNOWN;
    }
}

// The host key algorithms that a stored key of this kind can be checked against.
const char* hostKeyMethodsFor(int knownHostKeyBits) {
    switch (knownHostKeyBits & LIBSSH2_KNOWNHOST_KEY_MASK) {
    case LIBSSH2_KNOWNHOST_KEY_SSHRSA:
        return "rsa-sha2-512,rsa-sha2-256,ssh-rsa";
    case LIBSSH2_KNOWNHOST_KEY_SSHDSS:
        return "ssh-dss";
    case LIBSSH2_KNOWNHOST_KEY_ECDSA_256:
        return "ecdsa-sha2-nistp256";
    case LIBSSH2_KNOWNHOST_KEY_ECDSA_384:
        return "ecdsa-sha2-nistp384";
    case LIBSSH2_KNOWNHOST_KEY_ECDSA_521:
        return "ecdsa-sha2-nistp521";
    case LIBSSH2_KNOWNHOST_KEY_ED25519:
        return "ssh-ed25519";
    default:
        return nullptr;
    }
}

constexpr const char* PreferredCiphers =
    "aes128-ctr,aes192-ctr,aes256-ctr,aes256-cbc,aes192-cbc,aes128-cbc";

constexpr const char* DefaultHostKeyMethods =
    "ssh-ed25519,ecdsa-sha2-nistp256,ecdsa-sha2-nistp384,ecdsa-sha2-nistp521,rsa-sha2-512,"
    "rsa-sha2-256,ssh-rsa,ssh-dss";

// How OpenSSH names a host in known_hosts: the bare name on port 22, "[name]:port" elsewhere.
std::string knownHostName(const std::string& host, int port) {
    if (port == 22)
        return host;
    return "[" + host + "]:" + std::to_string(port);
}

const char* sftpStatusText(unsigned long code) {
    switch (code) {
    case LIBSSH2_FX_EOF:
        return "End of file";
    case LIBSSH2_FX_NO_SUCH_FILE:
        return "No such file";
    case LIBSSH2_FX_PERMISSION_DENIED:
        return "Permission denied";
    case LIBSSH2_FX_FAILURE:
        return "Failure";
    case LIBSSH2_FX_BAD_MESSAGE:
        return "Bad message";
    case LIBSSH2_FX_NO_CONNECTION:
        return "No connection";
    case LIBSSH2_FX_CONNECTION_LOST:
        return "Connection lost";
    case LIBSSH2_FX_OP_UNSUPPORTED:
        return "Operation unsupported";
    case LIBSSH2_FX_INVALID_HANDLE:
        return "Invalid handle";
    case LIBSSH2_FX_NO_SUCH_PATH:
        return "No such path";
    case LIBSSH2_FX_FILE_ALREADY_EXISTS:
        return "File already exists";
    case LIBSSH2_FX_WRITE_PROTECT:
        return "Write protected";
    case LIBSSH2_FX_NO_MEDIA:
        return "No media";
    case LIBSSH2_FX_NO_SPACE_ON_FILESYSTEM:
        return "No space on file system";
    case LIBSSH2_FX_QUOTA_EXCEEDED:
        return "Quota exceeded";
    case LIBSSH2_FX_DIR_NOT_EMPTY:
        return "Directory not empty";
    case LIBSSH2_FX_NOT_A_DIRECTORY:
        return "Not a directory";
    case LIBSSH2_FX_INVALID_FILENAME:
        return "Invalid file name";
    default:
        return "Unknown SFTP status";
    }
}

long long nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

} // namespace

int outputLevel() {
    return s_outputLevel.load();
}

void setOutputLevel(int level) {
    s_outputLevel.store(level);
}

std::string libraryFolder() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&tggetlibrarycontextsize), &info) && info.dli_fname) {
        std::string path = info.dli_fname;
        const auto slash = path.rfind('/');
        if (slash != std::string::npos)
            return path.substr(0, slash + 1);
    }
    return "./";
}

SshSession::SshSession(TTGLibraryContext* ctx, bool verbose) : m_ctx(ctx), m_verbose(verbose) {}

SshSession::~SshSession() {
    close();
}

void SshSession::info(const std::string& text) {
    if ((m_verbose || (outputLevel() & 1)) && m_ctx->printmessage_callback)
        m_ctx->printmessage_callback((text + "\r\n").c_str(), TG_MSG_NORMAL, m_ctx);
}

void SshSession::error(const std::string& text) {
    if (m_ctx->printmessage_callback)
        m_ctx->printmessage_callback((text + "\r\n").c_str(), TG_MSG_ERROR, m_ctx);
}

void SshSession::checkpoint(const std::string& text) {
    if ((outputLevel() & 2) && m_ctx->printmessage_callback)
        m_ctx->printmessage_callback(text.c_str(), TG_MSG_CHECKPOINT, m_ctx);
}

void SshSession::clearSftpError() {
    m_errorMessage.clear();
    m_ctx->fxp_error_message = nullptr;
}

void SshSession::sftpFailure(const std::string& what) {
    const int rc = m_session ? libssh2_session_last_errno(m_session) : 0;
    if (rc == LIBSSH2_ERROR_SFTP_PROTOCOL && m_sftp) {
        const unsigned long code = libssh2_sftp_last_error(m_sftp);
        m_errorMessage = sftpStatusText(code);
        m_ctx->fxp_errtype = static_cast<int32_t>(code);
        m_ctx->fxp_error_message = m_errorMessage.data();
        error(what + ": " + m_errorMessage);
    } else {
        error(what + ": " + lastError(rc));
    }
}

int SshSession::replyTimeoutMs() const {
    return m_ctx->timeoutticks > 0 ? m_ctx->timeoutticks : 60000;
}

Wait SshSession::waitSocket(int timeoutMs) {
    const long long deadline = nowMs() + timeoutMs;
    const int directions = libssh2_session_block_directions(m_session);
    pollfd pfd{};
    pfd.fd = m_socket;
    if (directions & LIBSSH2_SESSION_BLOCK_INBOUND)
        pfd.events |= POLLIN;
    if (directions & LIBSSH2_SESSION_BLOCK_OUTBOUND)
        pfd.events |= POLLOUT;
    if (!pfd.events)
        pfd.events = POLLIN;
    for (;;) {
        if (m_ctx->aborted)
            return Wait::Aborted;
        const long long left = deadline - nowMs();
        if (left <= 0)
            return Wait::TimedOut;
        const int rc = ::poll(&pfd, 1, static_cast<int>(std::min<long long>(left, WaitSliceMs)));
        if (rc > 0)
            return Wait::Ready; // readable, writable, or broken: libssh2 reads the state
        if (rc < 0 && errno != EINTR)
            return Wait::Ready;
    }
}

std::string SshSession::lastError(long long rc) const {
    if (rc == AbortedCode)
        return "Operation aborted";
    if (rc == LIBSSH2_ERROR_TIMEOUT)
        return "Timeout error, the server did not answer in time";
    if (!m_session)
        return "Not connected";
    char* text = nullptr;
    libssh2_session_last_error(m_session, &text, nullptr, 0);
    return text && *text ? text : "Connection lost";
}

std::string SshSession::remotePath(const char* name) const {
    const std::string n = name ? name : "";
    if (!n.empty() && n[0] == '/')
        return n;
    if (n.empty())
        return m_pwd.empty() ? "." : m_pwd;
    if (m_pwd.empty())
        return n;
    if (m_pwd.back() == '/')
        return m_pwd + n;
    return m_pwd + "/" + n;
}

void SshSession::setWorkDir(const std::string& dir) {
    m_pwd = dir;
    m_ctx->pwd = m_pwd.data();
}

bool SshSession::openSocket(const std::string& host, int port) {
    const int type = confInt.size() > ConfProxyType ? confInt[ConfProxyType] : 0;
    int fd = -1;
    if (type == ProxyNone ||
        !usesProxy(host, confStr[ConfProxyExcludeList], confInt[ConfProxyLocalhost] != 0)) {
        fd = connectTcp(host, port);
    } else if (type == ProxySocks4 || type == ProxySocks5 || type == ProxyHttp) {
        const std::string& proxyHost = confStr[ConfProxyHost];
        if (proxyHost.empty()) {
            error("No proxy host is set");
            return false;
        }
        fd = connectTcp(proxyHost, confInt[ConfProxyPort]);
        if (fd >= 0 && !proxyHandshake(fd, type, host, port)) {
            ::close(fd);
            return false;
        }
    } else {
        error("This proxy type is not supported by this library (only SOCKS 4, SOCKS 5 and "
              "HTTP): " +
              std::to_string(type));
        return false;
    }
    if (fd < 0)
        return false;
    if (!looksLikeSsh(fd)) {
        ::close(fd);
        return false;
    }
    m_socket = fd;
    return true;
}

namespace {

// The proxy's side of the connection while the proxy is asked for the way to the server:
// whole messages out, exactly the expected bytes in, all before one deadline (steady
// milliseconds), and given up as soon as the operation is aborted.
class ProxyLine {
public:
    ProxyLine(int fd, long long deadline, const bool& aborted)
        : m_fd(fd), m_deadline(deadline), m_aborted(aborted) {}

    bool send(const std::string& data) {
        size_t done = 0;
        while (done < data.size()) {
            const ssize_t n = ::send(m_fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
            if (n > 0)
                done += static_cast<size_t>(n);
            else if (!waitToGoOn(n, POLLOUT))
                return false;
        }
        return true;
    }

    // Exactly `count` bytes, never more, so that what follows stays for the SSH library.
    bool receive(size_t count, std::string& into) {
        into.clear();
        while (into.size() < count) {
            char buffer[512];
            const ssize_t n = ::recv(m_fd, buffer, std::min(sizeof buffer, count - into.size()), 0);
            if (n > 0)
                into.append(buffer, static_cast<size_t>(n));
            else if (n == 0 || !waitToGoOn(n, POLLIN))
                return false; // n == 0: the proxy hung up
        }
        return true;
    }

    // Why the last send or receive failed, when it was not the proxy's doing.
    bool timedOut() const { return m_timedOut; }
    bool aborted() const { return m_wasAborted; }

private:
    bool waitToGoOn(ssize_t n, short events) {
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return false;
        for (;;) {
            if (m_aborted) {
                m_wasAborted = true;
                return false;
            }
            const long long left = m_deadline - nowMs();
            if (left <= 0) {
                m_timedOut = true;
                return false;
            }
            pollfd pfd{m_fd, events, 0};
            if (::poll(&pfd, 1, static_cast<int>(std::min<long long>(left, WaitSliceMs))) != 0)
                return true;
        }
    }

    int m_fd;
    long long m_deadline;
    const bool& m_aborted;
    bool m_timedOut = false;
    bool m_wasAborted = false;
};

std::string base64(const std::string& in) {
    static const char table[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < in.size(); i += 3) {
        uint32_t v = static_cast<unsigned char>(in[i]) << 16;
        if (i + 1 < in.size())
            v |= static_cast<unsigned char>(in[i + 1]) << 8;
        if (i + 2 < in.size())
            v |= static_cast<unsigned char>(in[i + 2]);
        out += table[(v >> 18) & 63];
        out += table[(v >> 12) & 63];
        out += i + 1 < in.size() ? table[(v >> 6) & 63] : '=';
        out += i + 2 < in.size() ? table[v & 63] : '=';
    }
    return out;
}

// The IPv4 address of `host` (a literal, or looked up here), in network order.
bool ipv4Of(const std::string& host, in_addr& address) {
    if (::inet_pton(AF_INET, host.c_str(), &address) == 1)
        return true;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0 || !list)
        return false;
    address = reinterpret_cast<sockaddr_in*>(list->ai_addr)->sin_addr;
    ::freeaddrinfo(list);
    return true;
}

} // namespace

bool SshSession::proxyHandshake(int fd, int type, const std::string& host, int port) {
    const std::string proxy = confStr[ConfProxyHost] + ":" + std::to_string(confInt[ConfProxyPort]);
    const std::string& user = confStr[ConfProxyUserName];
    const std::string& password = confStr[ConfProxyPassword];
    // Name lookup at the proxy: 0 never, 1 (automatic) for SOCKS 5 and HTTP, 2 always.
    const int dns = confInt[ConfProxyDns];
    const bool remoteDns = dns == 2 || (dns == 1 && type != ProxySocks4);
    const long long deadline =
        nowMs() + (m_ctx->connectiontimeoutticks > 0 ? m_ctx->connectiontimeoutticks : 60000);
    ProxyLine line(fd, deadline, m_ctx->aborted);
    std::string reply;
    const auto failed = [&](const std::string& what) {
        error("Proxy " + proxy + ": " +
              (line.aborted()    ? std::string("Operation aborted")
               : line.timedOut() ? std::string("no answer in time")
                                 : what));
        return false;
    };
    // A SOCKS reply of `version` that grants with `yes`; otherwise what it says, or `refusal`.
    const auto granted = [&](char version, char yes, const std::string& socks,
                             const std::string& refusal = {}) {
        if (reply[0] != version)
            return failed(socks + " answer not understood");
        if (reply[1] != yes)
            return failed(!refusal.empty()
                              ? refusal
                              : socks + " request refused (code " +
                                    std::to_string(static_cast<unsigned char>(reply[1])) + ")");
        return true;
    };
    const auto portBytes = [port] {
        return std::string{static_cast<char>((port >> 8) & 0xFF), static_cast<char>(port & 0xFF)};
    };
    info("Connecting to " + host + " port " + std::to_string(port) + " through the proxy " + proxy);

    if (type == ProxySocks4) {
        in_addr address{};
        std::string request = std::string{4, 1} + portBytes();
        if (remoteDns && ::inet_pton(AF_INET, host.c_str(), &address) != 1) {
            request += std::string{0, 0, 0, 1} + user + '\0' + host + '\0'; // SOCKS 4a
        } else {
            if (!ipv4Of(host, address))
                return failed("SOCKS 4 needs an IPv4 address for " + host);
            request += std::string(reinterpret_cast<const char*>(&address), 4) + user + '\0';
        }
        if (!line.send(request) || !line.receive(8, reply))
            return failed("the connection broke");
        return granted(0, 90, "SOCKS 4");
    }

    if (type == ProxySocks5) {
        const bool login = !user.empty();
        const std::string greeting = login ? std::string{5, 2, 0, 2} : std::string{5, 1, 0};
        if (!line.send(greeting) || !line.receive(2, reply))
            return failed("the connection broke");
        if (reply[0] != 5 || (reply[1] != 0 && !(login && reply[1] == 2)))
            return failed(login ? "SOCKS 5 proxy accepts neither no login nor a password"
                                : "SOCKS 5 proxy wants a login (set the proxy user name)");
        if (reply[1] == 2) {
            if (user.size() > 255 || password.size() > 255)
                return failed("user name or password too long for SOCKS 5");
            const std::string auth = std::string{1, static_cast<char>(user.size())} + user +
                                     static_cast<char>(password.size()) + password;
            if (!line.send(auth) || !line.receive(2, reply))
                return failed("the connection broke");
            if (!granted(1, 0, "SOCKS 5", "SOCKS 5 login refused for user " + user))
                return false;
        }
        std::string request{5, 1, 0};
        in_addr v4{};
        in6_addr v6{};
        if (::inet_pton(AF_INET6, host.c_str(), &v6) == 1) {
            request += std::string{4} + std::string(reinterpret_cast<const char*>(&v6), 16);
        } else if (::inet_pton(AF_INET, host.c_str(), &v4) == 1 || !remoteDns) {
            if (!ipv4Of(host, v4))
                return failed("cannot look up " + host);
            request += std::string{1} + std::string(reinterpret_cast<const char*>(&v4), 4);
        } else {
            if (host.size() > 255)
                return failed("host name too long for SOCKS 5");
            request += std::string{3, static_cast<char>(host.size())} + host;
        }
        request += portBytes();
        if (!line.send(request) || !line.receive(4, reply))
            return failed("the connection broke");
        if (!granted(5, 0, "SOCKS 5"))
            return false;
        // The bound address and port follow; their length depends on their kind.
        size_t rest = 0;
        if (reply[3] == 1) {
            rest = 4 + 2;
        } else if (reply[3] == 4) {
            rest = 16 + 2;
        } else if (reply[3] == 3) {
            if (!line.receive(1, reply))
                return failed("the connection broke");
            rest = static_cast<unsigned char>(reply[0]) + 2u;
        } else {
            return failed("SOCKS 5 answer not understood");
        }
        if (!line.receive(rest, reply))
            return failed("the connection broke");
        return true;
    }

    // HTTP CONNECT. The answer is read a byte at a time up to its empty line: the SSH server's
    // greeting may follow in the same packet and must stay unread.
    const std::string target = (host.find(':') != std::string::npos ? "[" + host + "]" : host) +
                               ":" + std::to_string(port);
    std::string request = "CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n";
    if (!user.empty())
        request += "Proxy-Authorization: Basic " + base64(user + ":" + password) + "\r\n";
    request += "\r\n";
    if (!line.send(request))
        return failed("the connection broke");
    std::string head;
    while (head.size() < 4 || head.compare(head.size() - 4, 4, "\r\n\r\n") != 0) {
        if (head.size() >= 16384)
            return failed("HTTP proxy answer without end");
        if (!line.receive(1, reply))
            return failed("the connection broke");
        head += reply;
    }
    const std::string status = head.substr(0, head.find("\r\n"));
    const size_t blank = status.find(' ');
    // Any success (2xx) opens the tunnel.
    if (status.rfind("HTTP/", 0) != 0 || blank == std::string::npos || blank + 1 >= status.size() ||
        status[blank + 1] != '2')
        return failed("HTTP proxy answers: " + status);
    return true;
}

int SshSession::connectTcp(const std::string& host, int port) {
    info(std::string("Looking up host \"") + host + "\"");
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const std::string service = std::to_string(port);
    const int gai = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
    if (gai != 0) {
        error(std::string("Host does not exist: ") + host + " (" + gai_strerror(gai) + ")");
        return -1;
    }
    const int timeout = m_ctx->connectiontimeoutticks > 0 ? m_ctx->connectiontimeoutticks : 60000;
    std::string failure = "no address";
    for (addrinfo* a = list; a; a = a->ai_next) {
        char address[INET6_ADDRSTRLEN] = {};
        const void* raw =
            a->ai_family == AF_INET
                ? static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr)
                : static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(a->ai_addr)->sin6_addr);
        ::inet_ntop(a->ai_family, raw, address, sizeof address);
        info(std::string("Connecting to ") + address + " port " + std::to_string(port));
        const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            failure = std::strerror(errno);
            continue;
        }
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        int rc = ::connect(fd, a->ai_addr, a->ai_addrlen);
        if (rc != 0 && errno == EINPROGRESS) {
            pollfd pfd{fd, POLLOUT, 0};
            const long long deadline = nowMs() + timeout;
            rc = -1;
            errno = ETIMEDOUT;
            while (!m_ctx->aborted) {
                const long long left = deadline - nowMs();
                if (left <= 0)
                    break;
                const int p = ::poll(&pfd, 1, static_cast<int>(std::min<long long>(left, 100)));
                if (p > 0) {
                    int err = 0;
                    socklen_t len = sizeof err;
                    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
                    rc = err ? -1 : 0;
                    errno = err;
                    break;
                }
            }
            if (m_ctx->aborted)
                errno = ECANCELED;
        }
        if (rc == 0) {
            const int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            ::freeaddrinfo(list);
            return fd;
        }
        failure = std::strerror(errno);
        ::close(fd);
    }
    ::freeaddrinfo(list);
    error("Network error: " + failure);
    return -1;
}

bool SshSession::looksLikeSsh(int fd) {
    // An SSH server greets first with "SSH-". An FTP or mail server greets with a numbered
    // reply and would never answer the key exchange: refuse it now rather than after the
    // connection time-out. Only peeked, so the SSH library still reads the greeting itself.
    pollfd pfd{fd, POLLIN, 0};
    if (::poll(&pfd, 1, 5000) <= 0)
        return true; // nothing yet: the handshake decides
    char head[128] = {};
    const ssize_t n = ::recv(fd, head, sizeof head - 1, MSG_PEEK);
    if (n >= 4 && head[0] >= '1' && head[0] <= '5' && head[1] >= '0' && head[1] <= '9' &&
        head[2] >= '0' && head[2] <= '9' && (head[3] == ' ' || head[3] == '-')) {
        std::string line(head, static_cast<size_t>(n));
        line = line.substr(0, line.find_first_of("\r\n"));
        error("The server is not an SSH server, it greets with: " + line);
        return false;
    }
    return true;
}

std::string SshSession::supportedMethods(int methodType, const std::string& wanted) const {
    // libssh2 drops the names it does not know from a preference list by copying the rest of
    // the list over itself with memcpy, which is undefined for overlapping ranges. So it only
    // ever gets names it supports, each once.
    const char** algs = nullptr;
    const int count = libssh2_session_supported_algs(m_session, methodType, &algs);
    std::vector<std::string> supported;
    for (int i = 0; i < count; ++i)
        supported.emplace_back(algs[i]);
    if (algs)
        libssh2_free(m_session, algs);
    std::string out;
    std::vector<std::string> taken;
    size_t start = 0;
    while (start <= wanted.size()) {
        const size_t comma = std::min(wanted.find(',', start), wanted.size());
        const std::string name = wanted.substr(start, comma - start);
        start = comma + 1;
        if (name.empty() || std::find(taken.begin(), taken.end(), name) != taken.end() ||
            std::find(supported.begin(), supported.end(), name) == supported.end())
            continue;
        taken.push_back(name);
        out += (out.empty() ? "" : ",") + name;
    }
    return out;
}

void SshSession::setMethodPreference(int methodType, const std::string& wanted) {
    const std::string methods = supportedMethods(methodType, wanted);
    if (!methods.empty())
        libssh2_session_method_pref(m_session, methodType, methods.c_str());
}

void SshSession::preferKnownHostKeys(const std::string& host, int port) {
    // The server offers several keys; ask first for the kinds already stored for it, so that a
    // host seeded by ssh-keyscan is recognised whichever key it would otherwise present.
    LIBSSH2_KNOWNHOSTS* hosts = libssh2_knownhost_init(m_session);
    if (!hosts)
        return;
    std::string preferred;
    const std::string path = libraryFolder() + "known_hosts";
    if (libssh2_knownhost_readfile(hosts, path.c_str(), LIBSSH2_KNOWNHOST_FILE_OPENSSH) > 0) {
        const std::string name = knownHostName(host, port);
        libssh2_knownhost* entry = nullptr;
        while (libssh2_knownhost_get(hosts, &entry, entry) == 0) {
            if (entry->name && (name == entry->name)) {
                const char* methods = hostKeyMethodsFor(entry->typemask);
                if (methods && preferred.find(methods) == std::string::npos)
                    preferred += std::string(preferred.empty() ? "" : ",") + methods;
            }
        }
    }
    libssh2_knownhost_free(hosts);
    if (!preferred.empty())
        setMethodPreference(LIBSSH2_METHOD_HOSTKEY, preferred + "," + DefaultHostKeyMethods);
}

bool SshSession::checkHostKey(const std::string& host, int port) {
    size_t keyLen = 0;
    int keyType = 0;
    const char* key = libssh2_session_hostkey(m_session, &keyLen, &keyType);
    if (!key) {
        error("Server sent no host key");
        return false;
    }
    const char* hash = libssh2_hostkey_hash(m_session, LIBSSH2_HOSTKEY_HASH_SHA256);
    std::string fingerprint =
        std::string(hostKeyTypeName(keyType)) + " SHA256:" +
        (hash ? base64(reinterpret_cast<const unsigned char*>(hash), 32) : std::string("?"));
    info("Host key fingerprint is: " + fingerprint);

    const std::string path = libraryFolder() + "known_hosts";
    LIBSSH2_KNOWNHOSTS* hosts = libssh2_knownhost_init(m_session);
    int status = TG_HOSTKEY_UNCHECKED;
    if (hosts) {
        const bool exists = ::access(path.c_str(), F_OK) == 0;
        const int read =
            exists ? libssh2_knownhost_readfile(hosts, path.c_str(), LIBSSH2_KNOWNHOST_FILE_OPENSSH)
                   : 0;
        if (read < 0) {
            error("Cannot read " + path + ": the stored host keys are not used");
        } else {
            libssh2_knownhost* found = nullptr;
            const int check = libssh2_knownhost_checkp(hosts, host.c_str(), port, key, keyLen,
                                                       LIBSSH2_KNOWNHOST_TYPE_PLAIN |
                                                           LIBSSH2_KNOWNHOST_KEYENC_RAW |
                                                           knownHostKeyBit(keyType),
                                                       &found);
            if (check == LIBSSH2_KNOWNHOST_CHECK_MATCH)
                status = TG_HOSTKEY_KNOWN;
            else if (check == LIBSSH2_KNOWNHOST_CHECK_NOTFOUND)
                status = TG_HOSTKEY_NEW;
            else if (check == LIBSSH2_KNOWNHOST_CHECK_MISMATCH)
                status = TG_HOSTKEY_CHANGED;
        }
    }
    if (status == TG_HOSTKEY_NEW)
        info("The server's host key is not stored in " + path);
    else if (status == TG_HOSTKEY_CHANGED)
        error("WARNING - POTENTIAL SECURITY BREACH: the server's host key does not match the one "
              "stored in " +
              path);

    bool store = false;
    bool accepted = false;
    if (m_ctx->verify_host_key_callback)
        accepted = m_ctx->verify_host_key_callback(host.c_str(), port, 0, 0, fingerprint.c_str(),
                                                   status, &store, m_ctx);
    if (!accepted) {
        if (hosts)
            libssh2_knownhost_free(hosts);
        error("Host key not accepted, connection abandoned");
        return false;
    }
    if (store && status != TG_HOSTKEY_KNOWN && hosts) {
        const std::string name = knownHostName(host, port);
        // A changed key replaces the stored one of its kind.
        libssh2_knownhost* entry = nullptr;
        libssh2_knownhost* next = nullptr;
        bool more = libssh2_knownhost_get(hosts, &entry, nullptr) == 0;
        while (more) {
            more = libssh2_knownhost_get(hosts, &next, entry) == 0;
            if (entry->name && name == entry->name &&
                (entry->typemask & LIBSSH2_KNOWNHOST_KEY_MASK) == knownHostKeyBit(keyType))
                libssh2_knownhost_del(hosts, entry);
            entry = next;
        }
        const int added = libssh2_knownhost_addc(
            hosts, name.c_str(), nullptr, key, keyLen, nullptr, 0,
            LIBSSH2_KNOWNHOST_TYPE_PLAIN | LIBSSH2_KNOWNHOST_KEYENC_RAW | knownHostKeyBit(keyType),
            nullptr);
        if (added != 0 ||
            libssh2_knownhost_writefile(hosts, path.c_str(), LIBSSH2_KNOWNHOST_FILE_OPENSSH) != 0)
            error("Cannot store the host key in " + path);
        else
            info("Host key stored in " + path);
    }
    if (hosts)
        libssh2_knownhost_free(hosts);
    return true;
}

void SshSession::kbdintCallback(const char* name, int nameLen, const char* instruction,
                                int instructionLen, int numPrompts,
                                const LIBSSH2_USERAUTH_KBDINT_PROMPT* prompts,
                                LIBSSH2_USERAUTH_KBDINT_RESPONSE* responses, void** abstract) {
    auto* self = static_cast<SshSession*>(*abstract);
    TTGLibraryContext* ctx = self->m_ctx;
    if (nameLen > 0)
        self->info(std::string(name, nameLen));
    if (instructionLen > 0)
        self->info(std::string(instruction, instructionLen));
    for (int i = 0; i < numPrompts; ++i) {
        const std::string prompt(reinterpret_cast<const char*>(prompts[i].text), prompts[i].length);
        std::string answer;
        if (self->m_kbdintCancelled) {
            // one refusal ends this round
        } else if (prompts[i].echo) {
            self->info(prompt);
            char line[512] = {};
            if (ctx->get_input_callback && ctx->get_input_callback(line, sizeof line - 1, ctx))
                answer = line;
            else
                self->m_kbdintCancelled = true;
        } else {
            bool cancel = false;
            const char* pw = ctx->getpassword_callback
                                 ? ctx->getpassword_callback(prompt.c_str(), false, &cancel, ctx)
                                 : nullptr;
            if (!pw || cancel)
                self->m_kbdintCancelled = true;
            else
                answer = pw;
        }
        responses[i].text = static_cast<char*>(std::malloc(answer.size() + 1));
        if (responses[i].text) {
            std::memcpy(responses[i].text, answer.c_str(), answer.size() + 1);
            responses[i].length = static_cast<unsigned>(answer.size());
        } else {
            responses[i].length = 0;
        }
    }
}

bool SshSession::authPassword(const std::string& user, const char* password,
                              const std::string& host) {
    const std::string prompt = user + "@" + host + "'s password: ";
    for (;;) {
        bool cancel = false;
        const char* pw = nullptr;
        if (m_ctx->getpassword_callback)
            pw = m_ctx->getpassword_callback(prompt.c_str(), false, &cancel, m_ctx);
        else
            pw = password;
        if (!pw || cancel)
            return false;
        const std::string secret = pw;
        const long long rc = call([&] {
            return libssh2_userauth_password_ex(m_session, user.c_str(),
                                                static_cast<unsigned>(user.size()), secret.c_str(),
                                                static_cast<unsigned>(secret.size()), nullptr);
        });
        if (rc == 0)
            return true;
        if (rc != LIBSSH2_ERROR_AUTHENTICATION_FAILED) {
            error("Password authentication failed: " + lastError(rc));
            return false;
        }
        error("Access denied");
        if (!m_ctx->getpassword_callback)
            return false;
    }
}

bool SshSession::authKeyboardInteractive(const std::string& user) {
    // The server may ask again after a wrong answer; a refusal from the caller or a server that
    // keeps asking ends it.
    for (int round = 0; round < 6; ++round) {
        m_kbdintCancelled = false;
        const long long rc = call([&] {
            return libssh2_userauth_keyboard_interactive_ex(
                m_session, user.c_str(), static_cast<unsigned>(user.size()), &kbdintCallback);
        });
        if (rc == 0)
            return true;
        if (m_kbdintCancelled)
            return false;
        if (rc != LIBSSH2_ERROR_AUTHENTICATION_FAILED) {
            error("Keyboard-interactive authentication failed: " + lastError(rc));
            return false;
        }
        error("Access denied");
    }
    return false;
}

bool SshSession::authPublicKey(const std::string& user) {
    info("Authenticating with key file \"" + keyfile + "\"");
    bool cancel = false;
    const std::string prompt = "Passphrase for key \"" + keyfile + "\": ";
    const char* passphrase =
        m_ctx->getpassword_callback
            ? m_ctx->getpassword_callback(prompt.c_str(), false, &cancel, m_ctx)
            : nullptr;
    const std::string secret = (passphrase && !cancel) ? passphrase : "";
    const long long rc = call([&] {
        return libssh2_userauth_publickey_fromfile_ex(
            m_session, user.c_str(), static_cast<unsigned>(user.size()), nullptr, keyfile.c_str(),
            secret.empty() ? nullptr : secret.c_str());
    });
    if (rc == 0)
        return true;
    error("Key file authentication failed: " + lastError(rc));
    return false;
}

bool SshSession::authenticate(const std::string& user, const char* password) {
    const char* list = callPtr<char>([&] {
        return libssh2_userauth_list(m_session, user.c_str(), static_cast<unsigned>(user.size()));
    });
    if (!list) {
        if (libssh2_userauth_authenticated(m_session))
            return true;
        error("Server refused the login: " + lastError(libssh2_session_last_errno(m_session)));
        return false;
    }
    const std::string methods = list;
    info("Server accepts: " + methods);
    if (!keyfile.empty() && methods.find("publickey") != std::string::npos && authPublicKey(user))
        return true;
    if (methods.find("password") != std::string::npos)
        return authPassword(user, password, m_hostLabel);
    if (methods.find("keyboard-interactive") != std::string::npos)
        return authKeyboardInteractive(user);
    error("No supported authentication method left to try (server offers " + methods + ")");
    return false;
}

int SshSession::connect(const char* host, const char* user, int port, const char* password) {
    close();
    clearSftpError();
    const std::string hostName = host ? host : "";
    const std::string userName = user ? user : "";
    m_hostLabel = hostName;
    if (!openSocket(hostName, port))
        return 1;
    m_session = libssh2_session_init_ex(nullptr, nullptr, nullptr, this);
    if (!m_session) {
        error("Out of memory for the SSH session");
        close();
        return 1;
    }
    libssh2_session_set_blocking(m_session, 0);
    // The counter-mode ciphers, the shortest key first: on a fast line the encryption is what
    // limits the upload. Older servers still find the block-chaining ones.
    setMethodPreference(LIBSSH2_METHOD_CRYPT_CS, PreferredCiphers);
    setMethodPreference(LIBSSH2_METHOD_CRYPT_SC, PreferredCiphers);
    preferKnownHostKeys(hostName, port);
    long long rc = call([&] { return libssh2_session_handshake(m_session, m_socket); },
                        m_ctx->connectiontimeoutticks > 0 ? m_ctx->connectiontimeoutticks : 60000);
    if (rc != 0) {
        error("SSH handshake failed: " + lastError(rc));
        close();
        return 1;
    }
    if (const char* banner = libssh2_session_banner_get(m_session))
        info(std::string("Remote version: ") + banner);
    if (!checkHostKey(hostName, port)) {
        close();
        return 1;
    }
    if (!authenticate(userName, password)) {
        error("Login failed for user \"" + userName + "\"");
        close();
        return 1;
    }
    info("Access granted");
    m_sftp = callPtr<LIBSSH2_SFTP>([&] { return libssh2_sftp_init(m_session); });
    if (!m_sftp) {
        error("Unable to start the SFTP subsystem: " +
              lastError(libssh2_session_last_errno(m_session)));
        close();
        return 1;
    }
    char buffer[4096] = {};
    rc = call([&] {
        return libssh2_sftp_symlink_ex(m_sftp, ".", 1, buffer, sizeof buffer - 1,
                                       LIBSSH2_SFTP_REALPATH);
    });
    m_homedir = rc > 0 ? std::string(buffer, static_cast<size_t>(rc)) : std::string("/");
    m_ctx->homedir = m_homedir.data();
    setWorkDir(m_homedir);
    info("Remote working directory is " + m_pwd);
    return 0;
}

void SshSession::close() {
    // A broken connection must not hold the caller: the goodbye gets a short time only.
    constexpr int GoodbyeMs = 2000;
    if (m_sftp) {
        call([&] { return libssh2_sftp_shutdown(m_sftp); }, GoodbyeMs);
        m_sftp = nullptr;
    }
    if (m_session) {
        call([&] { return libssh2_session_disconnect(m_session, "closed by the client"); },
             GoodbyeMs);
        libssh2_session_free(m_session);
        m_session = nullptr;
    }
    if (m_socket >= 0) {
        ::close(m_socket);
        m_socket = -1;
    }
    m_pwd.clear();
    m_homedir.clear();
    m_ctx->pwd = nullptr;
    m_ctx->homedir = nullptr;
}

} // namespace tgputty
