#include "tgputtylib/SshSession.h"

#include "tgputtylib/Algorithms.h"
#include "tgputtylib/ConfigTable.h"
#include "tgputtylib/KnownHosts.h"
#include "tgputtylib/Login.h"
#include "tgputtylib/ProxyConnect.h"
#include "tgputtylib/ServerOffer.h"

#include <dlfcn.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace tgputty {

namespace {

std::atomic<int> s_outputLevel{0};

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

} // namespace

int outputLevel() {
    return s_outputLevel.load();
}

void setOutputLevel(int level) {
    s_outputLevel.store(level);
}

long long nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::string libraryFolder() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&libraryFolder), &info) && info.dli_fname) {
        std::string path = info.dli_fname;
        // The program loads the library through the descriptor it checked it on, which stays
        // open: the file's own path is where that descriptor leads.
        if (path.rfind("/proc/self/fd/", 0) == 0) {
            char target[4096];
            const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
            if (n > 0)
                path.assign(target, size_t(n));
        }
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
    } else if (rc == LIBSSH2_ERROR_EAGAIN) {
        // libssh2 was still waiting: the wait for it ended, by the time-out or an abort.
        error(what + ": " + lastError(m_ctx->aborted ? AbortedCode : LIBSSH2_ERROR_TIMEOUT));
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

bool SshSession::setMethodPreference(int methodType, const std::string& wanted) {
    const std::string methods = supportedMethods(methodType, wanted);
    if (methods.empty()) {
        error("This libssh2 supports none of " + wanted);
        return false;
    }
    const int rc = libssh2_session_method_pref(m_session, methodType, methods.c_str());
    if (rc != 0) {
        error("The algorithms " + methods + " cannot be set: " + lastError(rc));
        return false;
    }
    return true;
}

ssize_t SshSession::receive(libssh2_socket_t fd, void* buffer, size_t length, int flags,
                            void** abstract) {
    const ssize_t n = ::recv(fd, buffer, length, flags);
    if (n < 0)
        return errno == EWOULDBLOCK ? -EAGAIN : -errno;
    // Until the key exchange is done, what the server sent is kept, to say why it failed.
    auto* self = static_cast<SshSession*>(*abstract);
    if (self && self->m_keepReceived && self->m_received.size() < 256 * 1024)
        self->m_received.append(static_cast<const char*>(buffer), static_cast<size_t>(n));
    return n;
}

int SshSession::connect(const char* host, const char* user, int port, const char* password) {
    close();
    clearSftpError();
    const std::string hostName = host ? host : "";
    const std::string userName = user ? user : "";
    m_socket = ProxyConnect(*this).open(hostName, port);
    if (m_socket < 0)
        return 1;
    m_session = libssh2_session_init_ex(nullptr, nullptr, nullptr, this);
    if (!m_session) {
        error("Out of memory for the SSH session");
        close();
        return 1;
    }
    libssh2_session_set_blocking(m_session, 0);
    libssh2_session_callback_set(m_session, LIBSSH2_CALLBACK_RECV,
                                 reinterpret_cast<void*>(&SshSession::receive));
    if (!setMethodPreference(LIBSSH2_METHOD_KEX, algorithms::KeyExchange) ||
        !setMethodPreference(LIBSSH2_METHOD_CRYPT_CS, algorithms::Ciphers) ||
        !setMethodPreference(LIBSSH2_METHOD_CRYPT_SC, algorithms::Ciphers) ||
        !setMethodPreference(LIBSSH2_METHOD_MAC_CS, algorithms::Macs) ||
        !setMethodPreference(LIBSSH2_METHOD_MAC_SC, algorithms::Macs) ||
        !KnownHosts(*this).preferStoredKeyTypes(hostName, port)) {
        close();
        return 1;
    }
    m_received.clear();
    m_keepReceived = true;
    long long rc = call([&] { return libssh2_session_handshake(m_session, m_socket); },
                        m_ctx->connectiontimeoutticks > 0 ? m_ctx->connectiontimeoutticks : 60000);
    m_keepReceived = false;
    if (rc != 0) {
        std::string why = lastError(rc);
        ServerOffer offer;
        if (rc != LIBSSH2_ERROR_TIMEOUT && rc != AbortedCode && offer.parse(m_received)) {
            const std::string mismatch =
                offer.mismatch(supportedMethods(LIBSSH2_METHOD_KEX, algorithms::KeyExchange),
                               supportedMethods(LIBSSH2_METHOD_HOSTKEY, algorithms::HostKeys),
                               supportedMethods(LIBSSH2_METHOD_CRYPT_CS, algorithms::Ciphers),
                               supportedMethods(LIBSSH2_METHOD_MAC_CS, algorithms::Macs));
            if (!mismatch.empty())
                why += ". " + mismatch;
        }
        m_received.clear();
        error("SSH handshake failed: " + why);
        close();
        return 1;
    }
    m_received = std::string();
    if (const char* banner = libssh2_session_banner_get(m_session))
        info(std::string("Remote version: ") + banner);
    if (!KnownHosts(*this).check(hostName, port)) {
        close();
        return 1;
    }
    if (!Login(*this).run(userName, password, hostName)) {
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

LIBSSH2_SFTP* SshSession::extraSftp(size_t index) {
    while (m_extraSftp.size() <= index && !m_noMoreSftp && m_session) {
        LIBSSH2_SFTP* extra = callPtr<LIBSSH2_SFTP>([&] { return libssh2_sftp_init(m_session); });
        if (!extra)
            m_noMoreSftp = true;
        else
            m_extraSftp.push_back(extra);
    }
    return index < m_extraSftp.size() ? m_extraSftp[index] : nullptr;
}

void SshSession::close() {
    // A broken connection must not hold the caller: the goodbye gets a short time only.
    constexpr int GoodbyeMs = 2000;
    for (LIBSSH2_SFTP* extra : m_extraSftp)
        call([&] { return libssh2_sftp_shutdown(extra); }, GoodbyeMs);
    m_extraSftp.clear();
    m_noMoreSftp = false;
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
