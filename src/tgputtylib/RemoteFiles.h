#pragma once

#include "tgputtylib/tgputtylib.h"

#include <libssh2.h>
#include <libssh2_sftp.h>

#include <string>

namespace tgputty {

class SshSession;

// The operations on remote folders and files of an open session. Each reports its failure to
// the caller with the server's status and gives false (or null).
class RemoteFiles {
public:
    explicit RemoteFiles(SshSession& session) : m_s(session) {}

    bool changeDir(const char* dir);
    bool list(const char* dir);
    bool remove(const char* name);
    bool removeDir(const char* dir);
    bool makeDir(const char* dir);
    bool rename(const char* from, const char* to, int flags);
    bool getStat(const char* name, fxp_attrs* attrs);
    bool setStat(const char* name, const fxp_attrs* attrs);
    // On the session's SFTP channel, or on `channel` when one is given.
    LIBSSH2_SFTP_HANDLE* open(const std::string& path, unsigned long flags, long mode, int type,
                              LIBSSH2_SFTP* channel = nullptr);
    void close(LIBSSH2_SFTP_HANDLE* handle);

private:
    SshSession& m_s;
};

} // namespace tgputty
