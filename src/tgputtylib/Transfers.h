#pragma once

#include "tgputtylib/tgputtylib.h"

#include <libssh2.h>
#include <libssh2_sftp.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

// A remote file opened for the caller's own block transfers.
struct tg_filehandle {
    LIBSSH2_SFTP_HANDLE* handle = nullptr;
};

// One block transfer on such a file: for downloads, the blocks received and not yet handed out.
struct tg_xfer {
    tg_filehandle* file = nullptr;
    uint64_t offset = 0;
    bool upload = false;
    bool eof = false;
    bool failed = false;
    std::vector<char> buffer;
    std::vector<std::pair<char*, int32_t>> blocks;
};

namespace tgputty {

class SshSession;

// How many bytes of an upload are kept in flight for the measured round trip, at most
// `capacity`.
size_t uploadInFlight(std::chrono::steady_clock::duration roundTrip, size_t capacity);

// The file transfers of an open session: whole files from a local file or the caller's stream
// and back, with many requests in flight, and the caller's block transfers.
class Transfers {
public:
    explicit Transfers(SshSession& session) : m_s(session) {}

    // A local file (or, without a name, the caller's read stream) to the remote file.
    bool upload(const char* localname, const char* remotename, bool append);
    // The remote file to a local file (or, without a name, the caller's write stream).
    bool download(const char* remotename, const char* localname, bool append);
    // One block of the caller's upload, written before it returns.
    void writeBlock(tg_xfer* xfer, char* buffer, int32_t len, uint64_t offset);
    // One round of the caller's download: at most one block received, after a short wait.
    bool readBlock(tg_xfer* xfer);

private:
    // A new file's upload on several channels at once, in segments.
    // `inFlight` bytes of each lane are given to libssh2 at a time.
    bool uploadInLanes(LIBSSH2_SFTP_HANDLE* first, const std::string& path, FILE* local,
                       size_t laneCount, size_t inFlight);
    // Up to `size` bytes of the local file (or the caller's stream) from `offset`; fewer only at
    // its end. `failed` is set after an error message.
    size_t readSource(FILE* local, uint64_t offset, char* into, size_t size, bool& failed);

    SshSession& m_s;
};

} // namespace tgputty
