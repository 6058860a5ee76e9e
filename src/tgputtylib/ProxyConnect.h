#pragma once

#include <string>

namespace tgputty {

class SshSession;

// Whether the connection to `host` goes through the configured proxy. Local connections
// (localhost, 127.x.x.x, ::1) go direct unless `proxyLocalhost`, and so do the hosts of
// `excludeList`: names and "*.domain" patterns, separated by commas or blanks; names are
// compared without regard to case.
bool usesProxy(const std::string& host, const std::string& excludeList, bool proxyLocalhost);

// The TCP connection to the SSH server: direct, or through a SOCKS 4, SOCKS 5 or HTTP proxy as
// the session's configuration says, and refused at once when the far end greets like an FTP or
// mail server.
class ProxyConnect {
public:
    explicit ProxyConnect(SshSession& session) : m_s(session) {}

    // The connected socket, or -1 after an error message to the caller.
    int open(const std::string& host, int port);

private:
    int connectTcp(const std::string& host, int port);
    bool handshake(int fd, int type, const std::string& host, int port);
    bool looksLikeSsh(int fd);

    SshSession& m_s;
};

} // namespace tgputty
