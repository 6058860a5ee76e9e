#include "tgputtylib/Login.h"

#include "tgputtylib/SshSession.h"

#include <cstdlib>
#include <cstring>

namespace tgputty {

void Login::kbdintCallback(const char* name, int nameLen, const char* instruction,
                           int instructionLen, int numPrompts,
                           const LIBSSH2_USERAUTH_KBDINT_PROMPT* prompts,
                           LIBSSH2_USERAUTH_KBDINT_RESPONSE* responses, void** abstract) {
    Login* self = static_cast<SshSession*>(*abstract)->login;
    TTGLibraryContext* ctx = self->m_s.ctx();
    if (nameLen > 0)
        self->m_s.info(std::string(name, nameLen));
    if (instructionLen > 0)
        self->m_s.info(std::string(instruction, instructionLen));
    for (int i = 0; i < numPrompts; ++i) {
        const std::string prompt(reinterpret_cast<const char*>(prompts[i].text), prompts[i].length);
        std::string answer;
        if (self->m_kbdintCancelled) {
            // one refusal ends this round
        } else if (prompts[i].echo) {
            self->m_s.info(prompt);
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

bool Login::authPassword(const std::string& user, const char* password, const std::string& host) {
    const std::string prompt = user + "@" + host + "'s password: ";
    for (;;) {
        bool cancel = false;
        const char* pw = nullptr;
        if (m_s.ctx()->getpassword_callback)
            pw = m_s.ctx()->getpassword_callback(prompt.c_str(), false, &cancel, m_s.ctx());
        else
            pw = password;
        if (!pw || cancel)
            return false;
        const std::string secret = pw;
        const long long rc = m_s.call([&] {
            return libssh2_userauth_password_ex(m_s.session(), user.c_str(),
                                                static_cast<unsigned>(user.size()), secret.c_str(),
                                                static_cast<unsigned>(secret.size()), nullptr);
        });
        if (rc == 0)
            return true;
        if (rc != LIBSSH2_ERROR_AUTHENTICATION_FAILED) {
            m_s.error("Password authentication failed: " + m_s.lastError(rc));
            return false;
        }
        m_s.error("Access denied");
        if (!m_s.ctx()->getpassword_callback)
            return false;
    }
}

bool Login::authKeyboardInteractive(const std::string& user) {
    // The server may ask again after a wrong answer; a refusal from the caller or a server that
    // keeps asking ends it.
    // The answers come from this login.
    m_s.login = this;
    for (int round = 0; round < 6; ++round) {
        m_kbdintCancelled = false;
        const long long rc = m_s.call([&] {
            return libssh2_userauth_keyboard_interactive_ex(
                m_s.session(), user.c_str(), static_cast<unsigned>(user.size()), &kbdintCallback);
        });
        if (rc == 0)
            return true;
        if (m_kbdintCancelled)
            return false;
        if (rc != LIBSSH2_ERROR_AUTHENTICATION_FAILED) {
            m_s.error("Keyboard-interactive authentication failed: " + m_s.lastError(rc));
            return false;
        }
        m_s.error("Access denied");
    }
    return false;
}

bool Login::authPublicKey(const std::string& user) {
    m_s.info("Authenticating with key file \"" + m_s.keyfile + "\"");
    bool cancel = false;
    const std::string prompt = "Passphrase for key \"" + m_s.keyfile + "\": ";
    const char* passphrase =
        m_s.ctx()->getpassword_callback
            ? m_s.ctx()->getpassword_callback(prompt.c_str(), false, &cancel, m_s.ctx())
            : nullptr;
    const std::string secret = (passphrase && !cancel) ? passphrase : "";
    const long long rc = m_s.call([&] {
        return libssh2_userauth_publickey_fromfile_ex(
            m_s.session(), user.c_str(), static_cast<unsigned>(user.size()), nullptr,
            m_s.keyfile.c_str(), secret.empty() ? nullptr : secret.c_str());
    });
    if (rc == 0)
        return true;
    m_s.error("Key file authentication failed: " + m_s.lastError(rc));
    return false;
}

bool Login::run(const std::string& user, const char* password, const std::string& hostLabel) {
    const char* list = m_s.callPtr<char>([&] {
        return libssh2_userauth_list(m_s.session(), user.c_str(),
                                     static_cast<unsigned>(user.size()));
    });
    if (!list) {
        if (libssh2_userauth_authenticated(m_s.session()))
            return true;
        m_s.error("Server refused the login: " +
                  m_s.lastError(libssh2_session_last_errno(m_s.session())));
        return false;
    }
    const std::string methods = list;
    m_s.info("Server accepts: " + methods);
    if (!m_s.keyfile.empty() && methods.find("publickey") != std::string::npos &&
        authPublicKey(user))
        return true;
    if (methods.find("password") != std::string::npos)
        return authPassword(user, password, hostLabel);
    if (methods.find("keyboard-interactive") != std::string::npos)
        return authKeyboardInteractive(user);
    m_s.error("No supported authentication method left to try (server offers " + methods + ")");
    return false;
}

} // namespace tgputty
