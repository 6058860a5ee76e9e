#pragma once

#include <string>

namespace tgputty {

class SshSession;

// The server's host key against the OpenSSH file known_hosts (the one the context's
// "known_hosts_file" names, else the one beside this library): the caller is asked about a new or
// changed key and may have it stored.
class KnownHosts {
public:
    explicit KnownHosts(SshSession& session) : m_s(session) {}

    // Before the key exchange: asks the server first for the kinds of key stored for it.
    // False (with the session's error set) when the preference cannot be set: the connection
    // must end then.
    bool preferStoredKeyTypes(const std::string& host, int port);
    // After the key exchange: false (after an error message) when the key is not accepted.
    bool check(const std::string& host, int port);

    // The file: the context's "known_hosts_file" when set, else known_hosts in this library's
    // folder.
    std::string path() const;

private:
    SshSession& m_s;
};

} // namespace tgputty
