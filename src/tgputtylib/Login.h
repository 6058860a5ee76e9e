#pragma once

#include <libssh2.h>

#include <string>

namespace tgputty {

class SshSession;

// The login on an SSH session whose host key is accepted: the key file when one is set and the
// server takes keys, else password or keyboard-interactive, as the server offers them.
class Login {
public:
    explicit Login(SshSession& session) : m_s(session) {}

    // True when the server accepted the user; else the reason went to the caller.
    bool run(const std::string& user, const char* password, const std::string& hostLabel);

private:
    bool authPassword(const std::string& user, const char* password, const std::string& host);
    bool authKeyboardInteractive(const std::string& user);
    bool authPublicKey(const std::string& user);
    static void kbdintCallback(const char* name, int nameLen, const char* instruction,
                               int instructionLen, int numPrompts,
                               const LIBSSH2_USERAUTH_KBDINT_PROMPT* prompts,
                               LIBSSH2_USERAUTH_KBDINT_RESPONSE* responses, void** abstract);

    SshSession& m_s;
    bool m_kbdintCancelled = false;
};

} // namespace tgputty
