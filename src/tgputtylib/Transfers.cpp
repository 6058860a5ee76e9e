#include "tgputtylib/Transfers.h"

#include "tgputtylib/ConfigTable.h"
#include "tgputtylib/RemoteFiles.h"
#include "tgputtylib/SshSession.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include <unistd.h>

namespace tgputty {

namespace {

constexpr int FailedCloseMs = 1000;

// An upload runs on this many SFTP channels of the one connection, each writing segments of
// this size. The server grants each channel a window of its own (OpenSSH 2 MiB), and on a line
// with a long round trip that window, not the line, is what limits one channel: every lane adds
// a window. A lane that finishes a segment waits for its last answers before it takes the next
// one, while the others go on.
// On a local network (a round trip under LocalRoundTripMs) one window carries more than the
// line, and one channel is quicker.
constexpr size_t UploadLanes = 3;
constexpr int LocalRoundTripMs = 5;
constexpr size_t SegmentBytes = 16 * 1024 * 1024;

} // namespace

// How many bytes of an upload are given to libssh2 at once: enough for the round trip at
// 256 MiB/s, at least 2 MiB, at most the buffer. The round trip is one sample taken before the
// upload, when nothing else is under way; under load the server answers later (on a busy machine
// its turn on the processor alone takes milliseconds), and with less in flight than its window
// (2 MiB with OpenSSH) the upload waits for it. More than the window only lies in libssh2's queue
// until the data has left the cache.
size_t uploadInFlight(std::chrono::steady_clock::duration roundTrip, size_t capacity) {
    constexpr double bytesPerSecond = 256.0 * 1024 * 1024;
    constexpr size_t least = 2 * 1024 * 1024;
    const double seconds = std::chrono::duration<double>(roundTrip).count();
    const double wanted = std::max(seconds, 0.0) * bytesPerSecond;
    if (wanted >= double(capacity))
        return capacity;
    return std::min(capacity, std::max(least, size_t(wanted)));
}

bool Transfers::upload(const char* localname, const char* remotename, bool append) {
    const std::string path = m_s.remotePath(remotename);
    std::unique_ptr<FILE, int (*)(FILE*)> local(nullptr, &std::fclose);
    if (localname) {
        local.reset(std::fopen(localname, "rb"));
        if (!local) {
            m_s.error(std::string("Cannot open the local file ") + localname + ": " +
                      std::strerror(errno));
            return false;
        }
    } else if (!m_s.ctx()->read_from_stream) {
        m_s.error("put: no data source");
        return false;
    }
    const unsigned long flags =
        LIBSSH2_FXF_WRITE | LIBSSH2_FXF_CREAT | (append ? LIBSSH2_FXF_APPEND : LIBSSH2_FXF_TRUNC);
    LIBSSH2_SFTP_HANDLE* h = RemoteFiles(m_s).open(path, flags, 0644, LIBSSH2_SFTP_OPENFILE);
    if (!h) {
        m_s.sftpFailure("Cannot create the remote file " + path);
        return false;
    }
    // One small request measures the round trip (opening may take long: it truncates).
    const auto statStart = std::chrono::steady_clock::now();
    LIBSSH2_SFTP_ATTRIBUTES a{};
    const bool stated = m_s.call([&] { return libssh2_sftp_fstat_ex(h, &a, 0); }) == 0;
    const auto roundTrip = std::chrono::steady_clock::now() - statStart;
    if (!append) {
        const size_t lanes =
            roundTrip < std::chrono::milliseconds(LocalRoundTripMs) ? 1 : UploadLanes;
        m_s.info("Uploading to " + path + " on " + std::to_string(lanes) + " channel" +
                 (lanes > 1 ? "s" : ""));
        const size_t configured =
            static_cast<size_t>(std::max<int32_t>(m_s.configInt(ConfWriteBuffer), 64 * 1024));
        return uploadInLanes(h, path, local.get(), lanes, uploadInFlight(roundTrip, configured));
    }
    m_s.info("Uploading to " + path);
    if (stated)
        libssh2_sftp_seek64(h, a.filesize);

    // Many write requests stay in flight: libssh2 splits what it is given into requests
    // and sends them all before it waits for the first answer, so it is always given
    // `inFlight` bytes (or the rest of the file), and the buffer holds twice that.
    const size_t configured =
        static_cast<size_t>(std::max<int32_t>(m_s.configInt(ConfWriteBuffer), 64 * 1024));
    const size_t inFlight = uploadInFlight(roundTrip, configured);
    const size_t capacity = std::min(configured, 2 * inFlight);
    std::vector<char> buffer(capacity);
    size_t begin = 0, end = 0;
    uint64_t readOffset = 0;
    int64_t acked = 0;
    bool eof = false;
    bool ok = true;
    while (ok) {
        if (!eof) {
            // Acknowledged data is dropped from the front once it fills half the buffer;
            // what is still in flight keeps its content, only its place moves.
            if (begin >= capacity / 2) {
                std::memmove(buffer.data(), buffer.data() + begin, end - begin);
                end -= begin;
                begin = 0;
            }
            while (!eof && end < capacity) {
                const size_t room = std::min<size_t>(capacity - end, 1 << 30);
                int64_t got = 0;
                if (local) {
                    got =
                        static_cast<int64_t>(std::fread(buffer.data() + end, 1, room, local.get()));
                    if (got == 0 && std::ferror(local.get())) {
                        m_s.error("Error reading the local file");
                        ok = false;
                        break;
                    }
                } else {
                    got = m_s.ctx()->read_from_stream(readOffset, buffer.data() + end,
                                                      static_cast<int32_t>(room), m_s.ctx());
                }
                if (got <= 0) {
                    eof = true;
                    break;
                }
                end += static_cast<size_t>(got);
                readOffset += static_cast<uint64_t>(got);
            }
            if (!ok)
                break;
        }
        if (begin == end)
            break;
        const long long rc = m_s.call([&] {
            return libssh2_sftp_write(h, buffer.data() + begin, std::min(end - begin, inFlight));
        });
        if (rc < 0) {
            m_s.sftpFailure("Error writing the remote file " + path);
            ok = false;
            break;
        }
        begin += static_cast<size_t>(rc);
        acked += rc;
        if (m_s.ctx()->progress_callback && !m_s.ctx()->progress_callback(acked, true, m_s.ctx())) {
            m_s.error("Upload cancelled");
            ok = false;
        }
        if (m_s.ctx()->aborted) {
            m_s.error("Upload aborted");
            ok = false;
        }
    }
    // The last answers may still be missing; closing the handle waits for them.
    // After a failure the server may not answer at all: that wait is short.
    const long long closed =
        m_s.call([&] { return libssh2_sftp_close_handle(h); }, ok ? -1 : FailedCloseMs);
    if (ok && closed != 0) {
        m_s.sftpFailure("Error closing the remote file " + path);
        ok = false;
    }
    if (ok)
        m_s.info("Uploaded " + std::to_string(acked) + " bytes to " + path);
    return ok;
}

size_t Transfers::readSource(FILE* local, uint64_t offset, char* into, size_t size, bool& failed) {
    size_t done = 0;
    while (done < size) {
        int64_t got = 0;
        if (local) {
            const ssize_t n =
                ::pread(fileno(local), into + done, size - done, static_cast<off_t>(offset + done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                m_s.error(std::string("Error reading the local file: ") + std::strerror(errno));
                failed = true;
                return done;
            }
            got = n;
        } else {
            got = m_s.ctx()->read_from_stream(
                offset + done, into + done,
                static_cast<int32_t>(std::min<size_t>(size - done, 1 << 30)), m_s.ctx());
        }
        if (got <= 0)
            break;
        done += static_cast<size_t>(got);
    }
    return done;
}

bool Transfers::uploadInLanes(LIBSSH2_SFTP_HANDLE* first, const std::string& path, FILE* local,
                              size_t laneCount, size_t inFlight) {
    struct Lane {
        LIBSSH2_SFTP_HANDLE* handle = nullptr;
        std::vector<char> data; // the segment, read as it is sent
        uint64_t start = 0;     // its place in the file
        size_t filled = 0;      // of it, read
        size_t acked = 0;       // of it, answered by the server
        bool last = false;      // the data ends within this segment
        bool busy = false;      // holds a segment not yet all answered
    };
    std::vector<Lane> lanes(laneCount);
    constexpr size_t NoLane = ~size_t(0);
    size_t pending = NoLane;
    lanes[0].handle = first;
    TTGLibraryContext* ctx = m_s.ctx();
    // Every further channel is opened before any data is under way: a channel asked for while
    // another one's writes fill the connection waits for answers that libssh2 has already
    // taken in, and the upload stood still until the reply time-out.
    for (size_t i = 1; i < lanes.size(); ++i) {
        if (LIBSSH2_SFTP* channel = m_s.extraSftp(i - 1))
            lanes[i].handle = RemoteFiles(m_s).open(path, LIBSSH2_FXF_WRITE, 0644,
                                                    LIBSSH2_SFTP_OPENFILE, channel);
    }
    uint64_t next = 0;
    bool eof = false;
    bool ok = true;
    int64_t acked = 0;
    long long lastMove = nowMs();
    while (ok) {
        bool moved = false;
        bool busy = false;
        const size_t from = pending != NoLane ? pending : 0;
        const size_t visits = pending != NoLane ? 1 : lanes.size();
        for (size_t n = 0; n < visits && ok; ++n) {
            const size_t i = from + n;
            Lane& lane = lanes[i];
            if (!lane.busy && !eof) {
                if (!lane.handle)
                    continue;
                lane.data.resize(SegmentBytes);
                libssh2_sftp_seek64(lane.handle, next);
                lane.start = next;
                next += SegmentBytes;
                lane.filled = 0;
                lane.acked = 0;
                lane.last = false;
                lane.busy = true;
            }
            // The segment is read a little ahead of what is sent, so that it is still in the
            // cache when libssh2 copies it.
            const size_t wanted = std::min(lane.acked + inFlight, lane.data.size());
            if (lane.busy && !lane.last && lane.filled < wanted) {
                bool failed = false;
                const size_t asked = wanted - lane.filled;
                const size_t got = readSource(local, lane.start + lane.filled,
                                              lane.data.data() + lane.filled, asked, failed);
                if (failed) {
                    ok = false;
                    break;
                }
                lane.filled += got;
                if (got < asked)
                    lane.last = eof = true;
            }
            if (lane.busy && lane.acked == lane.filled &&
                (lane.last || lane.filled == lane.data.size()))
                lane.busy = false; // an empty rest: the data ended before it
            if (!lane.busy)
                continue;
            busy = true;
            // libssh2 copies what it is given into requests at once and encrypts them when the
            // window lets them go: given no more than the in-flight size, the data is still in
            // the cache when it is encrypted.
            const ssize_t rc = libssh2_sftp_write(lane.handle, lane.data.data() + lane.acked,
                                                  std::min(lane.filled - lane.acked, inFlight));
            // A packet of this lane may be left half sent: libssh2 takes no other packet before
            // it is finished, so this lane alone goes on until then.
            if (rc == LIBSSH2_ERROR_EAGAIN &&
                (libssh2_session_block_directions(m_s.session()) & LIBSSH2_SESSION_BLOCK_OUTBOUND))
                pending = i;
            else if (pending == i)
                pending = NoLane;
            if (rc == LIBSSH2_ERROR_EAGAIN || rc == 0 || rc == LIBSSH2_ERROR_BAD_USE)
                continue;
            if (rc < 0) {
                m_s.sftpFailure("Error writing the remote file " + path);
                ok = false;
                break;
            }
            lane.acked += static_cast<size_t>(rc);
            lane.busy =
                !(lane.acked == lane.filled && (lane.last || lane.filled == lane.data.size()));
            acked += rc;
            moved = true;
            if (ctx->progress_callback && !ctx->progress_callback(acked, true, ctx)) {
                m_s.error("Upload cancelled");
                ok = false;
            }
        }
        if (!ok || !busy)
            break;
        if (ctx->aborted) {
            m_s.error("Upload aborted");
            ok = false;
            break;
        }
        if (moved) {
            lastMove = nowMs();
            continue;
        }
        // Nothing answered and nothing more could be sent: wait for the server, but no
        // longer than the reply time-out since it last answered.
        const long long left = m_s.replyTimeoutMs() - (nowMs() - lastMove);
        const Wait w = left > 0 ? m_s.waitSocket(static_cast<int>(left)) : Wait::TimedOut;
        if (w != Wait::Ready) {
            m_s.error("Error writing the remote file " + path + ": " +
                      m_s.lastError(w == Wait::Aborted ? SshSession::AbortedCode
                                                       : LIBSSH2_ERROR_TIMEOUT));
            ok = false;
        }
    }
    // Every answer is in when all went well; after a failure the server may not answer at all.
    for (Lane& lane : lanes) {
        if (!lane.handle)
            continue;
        const long long closed = m_s.call([&] { return libssh2_sftp_close_handle(lane.handle); },
                                          ok ? -1 : FailedCloseMs);
        if (ok && closed != 0) {
            m_s.sftpFailure("Error closing the remote file " + path);
            ok = false;
        }
    }
    if (ok)
        m_s.info("Uploaded " + std::to_string(acked) + " bytes to " + path);
    return ok;
}

bool Transfers::download(const char* remotename, const char* localname, bool append) {
    const std::string path = m_s.remotePath(remotename);
    std::unique_ptr<FILE, int (*)(FILE*)> local(nullptr, &std::fclose);
    uint64_t offset = 0;
    if (localname) {
        local.reset(std::fopen(localname, append ? "ab" : "wb"));
        if (!local) {
            m_s.error(std::string("Cannot create the local file ") + localname + ": " +
                      std::strerror(errno));
            return false;
        }
        if (append) {
            std::fseek(local.get(), 0, SEEK_END);
            offset = static_cast<uint64_t>(std::ftell(local.get()));
        }
    } else if (!m_s.ctx()->write_to_stream) {
        m_s.error("get: no data sink");
        return false;
    }
    LIBSSH2_SFTP_HANDLE* h =
        RemoteFiles(m_s).open(path, LIBSSH2_FXF_READ, 0, LIBSSH2_SFTP_OPENFILE);
    if (!h) {
        m_s.sftpFailure("Cannot open the remote file " + path);
        return false;
    }
    if (offset)
        libssh2_sftp_seek64(h, offset);
    m_s.info("Downloading " + path);
    std::vector<char> buffer(
        static_cast<size_t>(std::max<int32_t>(m_s.configInt(ConfReadBuffer), 64 * 1024)));
    bool ok = true;
    int64_t total = 0;
    for (;;) {
        const long long rc =
            m_s.call([&] { return libssh2_sftp_read(h, buffer.data(), buffer.size()); });
        if (rc == 0)
            break;
        if (rc < 0) {
            m_s.sftpFailure("Error reading the remote file " + path);
            ok = false;
            break;
        }
        size_t done = 0;
        while (done < static_cast<size_t>(rc)) {
            int64_t wrote = 0;
            if (local)
                wrote = static_cast<int64_t>(std::fwrite(
                    buffer.data() + done, 1, static_cast<size_t>(rc) - done, local.get()));
            else
                wrote = m_s.ctx()->write_to_stream(offset, buffer.data() + done,
                                                   static_cast<int32_t>(rc - done), m_s.ctx());
            if (wrote <= 0) {
                m_s.error("Error writing the local data");
                ok = false;
                break;
            }
            done += static_cast<size_t>(wrote);
            offset += static_cast<uint64_t>(wrote);
        }
        if (!ok)
            break;
        total += rc;
        if (local && m_s.ctx()->progress_callback &&
            !m_s.ctx()->progress_callback(total, false, m_s.ctx())) {
            m_s.error("Download cancelled");
            ok = false;
            break;
        }
        if (m_s.ctx()->aborted) {
            m_s.error("Download aborted");
            ok = false;
            break;
        }
    }
    RemoteFiles(m_s).close(h);
    if (local && std::fflush(local.get()) != 0) {
        m_s.error("Error writing the local file");
        ok = false;
    }
    return ok;
}

void Transfers::writeBlock(tg_xfer* xfer, char* buffer, int32_t len, uint64_t offset) {
    if (!xfer || xfer->failed || !m_s.isOpen() || !xfer->file)
        return;
    if (offset != xfer->offset) {
        libssh2_sftp_seek64(xfer->file->handle, offset);
        xfer->offset = offset;
    }
    size_t done = 0;
    while (done < static_cast<size_t>(len)) {
        const long long rc = m_s.call([&] {
            return libssh2_sftp_write(xfer->file->handle, buffer + done,
                                      static_cast<size_t>(len) - done);
        });
        if (rc < 0) {
            m_s.sftpFailure("write");
            xfer->failed = true;
            return;
        }
        done += static_cast<size_t>(rc);
    }
    xfer->offset += static_cast<uint64_t>(len);
}

bool Transfers::readBlock(tg_xfer* xfer) {
    if (!xfer || xfer->failed || !m_s.isOpen() || !xfer->file) {
        if (xfer)
            xfer->failed = true;
        return false;
    }
    if (xfer->eof)
        return true;
    // Waits a short while only: a stalled server gives empty rounds, which the caller
    // counts against its own idle time-out.
    const int slice = std::min(m_s.replyTimeoutMs(), 500);
    const long long rc = m_s.call(
        [&] {
            return libssh2_sftp_read(xfer->file->handle, xfer->buffer.data(), xfer->buffer.size());
        },
        slice);
    if (rc == LIBSSH2_ERROR_TIMEOUT)
        return true;
    if (rc == 0) {
        xfer->eof = true;
        return true;
    }
    if (rc < 0) {
        m_s.sftpFailure("read");
        xfer->failed = true;
        return false;
    }
    char* block = static_cast<char*>(std::malloc(static_cast<size_t>(rc)));
    if (!block)
        throw std::bad_alloc();
    std::memcpy(block, xfer->buffer.data(), static_cast<size_t>(rc));
    xfer->blocks.emplace_back(block, static_cast<int32_t>(rc));
    xfer->offset += static_cast<uint64_t>(rc);
    return true;
}

} // namespace tgputty
