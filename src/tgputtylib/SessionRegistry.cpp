#include "tgputtylib/SessionRegistry.h"

#include "tgputtylib/SshSession.h"

#include <map>
#include <mutex>

namespace tgputty {

namespace {

std::mutex s_lock;
std::map<TTGLibraryContext*, std::unique_ptr<SshSession>> s_sessions;

const bool s_initialised = [] { return libssh2_init(0) == 0; }();

} // namespace

bool SessionRegistry::libraryReady() {
    return s_initialised;
}

SshSession* SessionRegistry::find(TTGLibraryContext* ctx) {
    std::lock_guard<std::mutex> lock(s_lock);
    const auto it = s_sessions.find(ctx);
    return it == s_sessions.end() ? nullptr : it->second.get();
}

void SessionRegistry::add(TTGLibraryContext* ctx, std::unique_ptr<SshSession> session) {
    std::lock_guard<std::mutex> lock(s_lock);
    s_sessions[ctx] = std::move(session);
}

std::unique_ptr<SshSession> SessionRegistry::take(TTGLibraryContext* ctx) {
    std::lock_guard<std::mutex> lock(s_lock);
    const auto it = s_sessions.find(ctx);
    if (it == s_sessions.end())
        return nullptr;
    std::unique_ptr<SshSession> s = std::move(it->second);
    s_sessions.erase(it);
    return s;
}

} // namespace tgputty
