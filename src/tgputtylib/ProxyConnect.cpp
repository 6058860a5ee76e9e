#include "tgputtylib/ProxyConnect.h"

#include "tgputtylib/Base64.h"
#include "tgputtylib/ConfigTable.h"
#include "tgputtylib/SshSession.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

namespace tgputty {

bool usesProxy(const std::string& host, const std::string& excludeList, bool proxyLocalhost) {
    const auto lower = [](std::string t) {
        for (char& c : t)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return t;
    };
    const std::string name = lower(host);
    if (!proxyLocalhost) {
        in_addr v4{};
        in6_addr v6{};
        if (name == "localhost" ||
            (inet_pton(AF_INET, name.c_str(), &v4) == 1 && (ntohl(v4.s_addr) >> 24) == 127) ||
            (inet_pton(AF_INET6, name.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6)))
            return false;
    }
    const std::string list = lower(excludeList);
    size_t at = 0;
    while (at < list.size()) {
        const size_t stop = std::min(list.find_first_of(", \t", at), list.size());
        const std::string entry = list.substr(at, stop - at);
        at = stop + 1;
        if (entry.empty())
            continue;
        if (entry == name)
            return false;
        if (entry[0] == '*' && name.size() >= entry.size() - 1 &&
            name.compare(name.size() - (entry.size() - 1), entry.size() - 1, entry, 1) == 0)
            return false;
    }
    return true;
}

int ProxyConnect::open(const std::string& host, int port) {
    const int type = m_s.confInt.size() > ConfProxyType ? m_s.confInt[ConfProxyType] : 0;
    int fd = -1;
    if (type == ProxyNone ||
        !usesProxy(host, m_s.confStr[ConfProxyExcludeList], m_s.confInt[ConfProxyLocalhost] != 0)) {
        fd = connectTcp(host, port);
    } else if (type == ProxySocks4 || type == ProxySocks5 || type == ProxyHttp) {
        const std::string& proxyHost = m_s.confStr[ConfProxyHost];
        if (proxyHost.empty()) {
            m_s.error("No proxy host is set");
            return -1;
        }
        fd = connectTcp(proxyHost, m_s.confInt[ConfProxyPort]);
        if (fd >= 0 && !handshake(fd, type, host, port)) {
            ::close(fd);
            return -1;
        }
    } else {
        m_s.error("This proxy type is not supported by this library (only SOCKS 4, SOCKS 5 and "
                  "HTTP): " +
                  std::to_string(type));
        return -1;
    }
    if (fd < 0)
        return -1;
    if (!looksLikeSsh(fd)) {
        ::close(fd);
        return -1;
    }
    return fd;
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

bool ProxyConnect::handshake(int fd, int type, const std::string& host, int port) {
    const std::string proxy =
        m_s.confStr[ConfProxyHost] + ":" + std::to_string(m_s.confInt[ConfProxyPort]);
    const std::string& user = m_s.confStr[ConfProxyUserName];
    const std::string& password = m_s.confStr[ConfProxyPassword];
    // Name lookup at the proxy: 0 never, 1 (automatic) for SOCKS 5 and HTTP, 2 always.
    const int dns = m_s.confInt[ConfProxyDns];
    const bool remoteDns = dns == 2 || (dns == 1 && type != ProxySocks4);
    const long long deadline =
        nowMs() +
        (m_s.ctx()->connectiontimeoutticks > 0 ? m_s.ctx()->connectiontimeoutticks : 60000);
    ProxyLine line(fd, deadline, m_s.ctx()->aborted);
    std::string reply;
    const auto failed = [&](const std::string& what) {
        m_s.error("Proxy " + proxy + ": " +
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
    m_s.info("Connecting to " + host + " port " + std::to_string(port) + " through the proxy " +
             proxy);

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
        request += "Proxy-Authorization: Basic " + base64(user + ":" + password, true) + "\r\n";
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

int ProxyConnect::connectTcp(const std::string& host, int port) {
    m_s.info(std::string("Looking up host \"") + host + "\"");
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const std::string service = std::to_string(port);
    const int gai = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
    if (gai != 0) {
        m_s.error(std::string("Host does not exist: ") + host + " (" + gai_strerror(gai) + ")");
        return -1;
    }
    const int timeout =
        m_s.ctx()->connectiontimeoutticks > 0 ? m_s.ctx()->connectiontimeoutticks : 60000;
    std::string failure = "no address";
    for (addrinfo* a = list; a; a = a->ai_next) {
        char address[INET6_ADDRSTRLEN] = {};
        const void* raw =
            a->ai_family == AF_INET
                ? static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr)
                : static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(a->ai_addr)->sin6_addr);
        ::inet_ntop(a->ai_family, raw, address, sizeof address);
        m_s.info(std::string("Connecting to ") + address + " port " + std::to_string(port));
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
            while (!m_s.ctx()->aborted) {
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
            if (m_s.ctx()->aborted)
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
    m_s.error("Network error: " + failure);
    return -1;
}

bool ProxyConnect::looksLikeSsh(int fd) {
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
        m_s.error("The server is not an SSH server, it greets with: " + line);
        return false;
    }
    return true;
}

} // namespace tgputty
