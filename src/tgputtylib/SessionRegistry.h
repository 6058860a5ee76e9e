#pragma once

#include "tgputtylib/tgputtylib.h"

#include <memory>

namespace tgputty {

class SshSession;

// The library's sessions, one per caller's context, shared by the exported functions.
class SessionRegistry {
public:
    // False when libssh2 could not be initialised: no session can be made.
    static bool libraryReady();
    static SshSession* find(TTGLibraryContext* ctx);
    static void add(TTGLibraryContext* ctx, std::unique_ptr<SshSession> session);
    // Removes the context's session and hands it over (null when there is none).
    static std::unique_ptr<SshSession> take(TTGLibraryContext* ctx);
};

} // namespace tgputty
