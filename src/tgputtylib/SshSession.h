#pragma once

#include "tgputtylib/tgputtylib.h"

#include <libssh2.h>
#include <libssh2_sftp.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tgputty {

class Login;

// Output level set by tgputty_setverbose: bit 0 connection messages, bit 1 checkpoints.
int outputLevel();
void setOutputLevel(int level);

// The folder of this library (ending in '/'): known_hosts lies there.
std::string libraryFolder();

// Steady milliseconds, for deadlines.
long long nowMs();

// Slices of a wait, so that an abort request is seen soon.
constexpr int WaitSliceMs = 100;

// A wait on the socket ran out, the caller asked to abort, or the connection broke.
enum class Wait { Ready, TimedOut, Aborted };

// The library's state for one context: the socket, the SSH session, the SFTP channel, the
// remote folders and the configuration values.
class SshSession {
public:
    explicit SshSession(TTGLibraryContext* ctx, bool verbose);
    ~SshSession();
    SshSession(const SshSession&) = delete;
    SshSession& operator=(const SshSession&) = delete;

    TTGLibraryContext* ctx() const { return m_ctx; }
    LIBSSH2_SESSION* session() const { return m_session; }
    LIBSSH2_SFTP* sftp() const { return m_sftp; }
    bool isOpen() const { return m_sftp != nullptr; }
    // Another SFTP channel on the same connection (index 0 is the first beside sftp()), opened
    // when first asked for; null when the server gives no more.
    LIBSSH2_SFTP* extraSftp(size_t index);

    // 0 when the session is open and SFTP is ready.
    int connect(const char* host, const char* user, int port, const char* password);
    void close();

    // Remote names relative to the working folder become absolute.
    std::string remotePath(const char* name) const;
    void setWorkDir(const std::string& dir);

    // Messages to the caller: connection messages only at the verbose level, errors always.
    void info(const std::string& text);
    void error(const std::string& text);
    void checkpoint(const std::string& text);

    // Records the SFTP status of the last failed request (or none) and reports it.
    void sftpFailure(const std::string& what);
    // Clears the recorded SFTP status.
    void clearSftpError();

    // Runs a libssh2 call until it no longer answers "again", waiting on the socket between
    // tries. Gives LIBSSH2_ERROR_TIMEOUT when nothing moved for the time-out (the reply time-out
    // unless given) and AbortedCode when the caller set the context's abort request.
    template <typename F> long long call(F&& op, int timeoutMs = -1) {
        const int limit = timeoutMs >= 0 ? timeoutMs : replyTimeoutMs();
        for (;;) {
            const long long rc = op();
            if (rc != LIBSSH2_ERROR_EAGAIN)
                return rc;
            const Wait w = waitSocket(limit);
            if (w == Wait::TimedOut)
                return LIBSSH2_ERROR_TIMEOUT;
            if (w == Wait::Aborted)
                return AbortedCode;
        }
    }
    // The same for calls that give a pointer and report "again" through the session.
    template <typename T, typename F> T* callPtr(F&& op, int timeoutMs = -1) {
        const int limit = timeoutMs >= 0 ? timeoutMs : replyTimeoutMs();
        for (;;) {
            T* p = op();
            if (p || libssh2_session_last_errno(m_session) != LIBSSH2_ERROR_EAGAIN)
                return p;
            if (waitSocket(limit) != Wait::Ready)
                return nullptr;
        }
    }
    Wait waitSocket(int timeoutMs);
    int replyTimeoutMs() const;

    // Text of the last libssh2 error, or of rc when it is our own code.
    std::string lastError(long long rc) const;

    // Configuration values, by index into the configuration arrays.
    int32_t configInt(int index) const {
        return index >= 0 && index < static_cast<int>(confInt.size()) ? confInt[index] : 0;
    }
    std::vector<int32_t> confInt;
    std::vector<std::string> confStr;
    std::string keyfile;

    // Set while an operation runs when the caller's callbacks asked to stop.
    bool cancelled = false;

    static constexpr long long AbortedCode = -100000;

    // The names of `wanted` (comma-separated) that libssh2 supports for the method, each once.
    std::string supportedMethods(int methodType, const std::string& wanted) const;
    // Sets the supported names of `wanted`; false (after an error message) when there are none.
    bool setMethodPreference(int methodType, const std::string& wanted);

    // The login under way, for libssh2's keyboard-interactive callback.
    Login* login = nullptr;

private:
    // libssh2's reads from the socket.
    static ssize_t receive(libssh2_socket_t fd, void* buffer, size_t length, int flags,
                           void** abstract);

    TTGLibraryContext* m_ctx;
    bool m_verbose;
    int m_socket = -1;
    LIBSSH2_SESSION* m_session = nullptr;
    LIBSSH2_SFTP* m_sftp = nullptr;
    std::vector<LIBSSH2_SFTP*> m_extraSftp;
    bool m_noMoreSftp = false;
    std::string m_pwd;
    std::string m_homedir;
    std::string m_errorMessage;
    std::string m_received;
    bool m_keepReceived = false;
};

} // namespace tgputty
