// The exported functions of libtgputtylib.so.

#include "transfer/tgputtylib/ConfigTable.h"
#include "transfer/tgputtylib/SshSession.h"
#include "transfer/tgputtylib/tgputtylib.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

using tgputty::SshSession;

// The tests build this library a few more times with other reported numbers, to see the
// session refuse them; the program's build reports the true ones.
#ifndef TG_REPORT_BUILD
#define TG_REPORT_BUILD TGPUTTYLIB_BUILD
#endif
#ifndef TG_REPORT_NAMESIZE_EXTRA
#define TG_REPORT_NAMESIZE_EXTRA 0
#endif
#ifndef TG_REPORT_CONTEXT_EXTRA
#define TG_REPORT_CONTEXT_EXTRA 0
#endif

struct tg_filehandle {
    LIBSSH2_SFTP_HANDLE* handle = nullptr;
};

struct tg_xfer {
    tg_filehandle* file = nullptr;
    uint64_t offset = 0;
    bool upload = false;
    bool eof = false;
    bool failed = false;
    std::vector<char> buffer;
    std::vector<std::pair<char*, int32_t>> blocks; // received, not yet handed out
};

namespace {

std::mutex s_registryLock;
std::map<TTGLibraryContext*, std::unique_ptr<SshSession>> s_sessions;

bool s_initialised = [] { return libssh2_init(0) == 0; }();

SshSession* sessionOf(TTGLibraryContext* ctx) {
    std::lock_guard<std::mutex> lock(s_registryLock);
    const auto it = s_sessions.find(ctx);
    return it == s_sessions.end() ? nullptr : it->second.get();
}

// Ends an operation that broke inside the library (memory exhausted, an unexpected internal
// state): everything has been unwound to the exported function, which reports the failure to
// the caller through the fatal-error callback and its own failure result. Nothing unwinds
// through libssh2 or through the caller.
void reportFatal(TTGLibraryContext* ctx, const char* what, int line) {
    if (ctx && ctx->raise_exception_callback)
        ctx->raise_exception_callback(what, __FILE__, line, ctx);
}

template <typename R, typename F> R guarded(TTGLibraryContext* ctx, R failure, int line, F&& f) {
    try {
        return f();
    } catch (const std::bad_alloc&) {
        reportFatal(ctx, "Out of memory", line);
    } catch (const std::exception& e) {
        reportFatal(ctx, e.what(), line);
    } catch (...) {
        reportFatal(ctx, "Unexpected failure", line);
    }
    return failure;
}

#define GUARDED(ctx, failure, ...) guarded(ctx, failure, __LINE__, [&]() __VA_ARGS__)

SshSession* openSession(TTGLibraryContext* ctx, const char* what) {
    SshSession* s = sessionOf(ctx);
    if (!s) {
        reportFatal(ctx, "context not initialised", __LINE__);
        return nullptr;
    }
    s->clearSftpError();
    if (!s->isOpen()) {
        s->error(std::string(what) + ": not connected");
        return nullptr;
    }
    return s;
}

void toAttrs(const LIBSSH2_SFTP_ATTRIBUTES& in, fxp_attrs* out) {
    *out = fxp_attrs{};
    out->flags = static_cast<tg_ulong>(in.flags & 0xF);
    out->size = in.filesize;
    out->uid = static_cast<tg_ulong>(in.uid);
    out->gid = static_cast<tg_ulong>(in.gid);
    out->permissions = static_cast<tg_ulong>(in.permissions);
    out->atime = static_cast<tg_ulong>(in.atime);
    out->mtime = static_cast<tg_ulong>(in.mtime);
}

LIBSSH2_SFTP_ATTRIBUTES fromAttrs(const fxp_attrs* in) {
    LIBSSH2_SFTP_ATTRIBUTES out{};
    out.flags = in->flags & 0xF;
    out.filesize = in->size;
    out.uid = in->uid;
    out.gid = in->gid;
    out.permissions = in->permissions;
    out.atime = in->atime;
    out.mtime = in->mtime;
    return out;
}

LIBSSH2_SFTP_HANDLE* openRemote(SshSession& s, const std::string& path, unsigned long flags,
                                long mode, int type) {
    return s.callPtr<LIBSSH2_SFTP_HANDLE>([&] {
        return libssh2_sftp_open_ex(s.sftp(), path.c_str(), static_cast<unsigned>(path.size()),
                                    flags, mode, type);
    });
}

void closeRemote(SshSession& s, LIBSSH2_SFTP_HANDLE* h) {
    if (h)
        s.call([&] { return libssh2_sftp_close_handle(h); });
}

int32_t simplePathCall(TTGLibraryContext* ctx, const char* name, const char* what,
                       int (*op)(SshSession&, const std::string&)) {
    return GUARDED(ctx, 0, {
        SshSession* s = openSession(ctx, what);
        if (!s)
            return 0;
        const std::string path = s->remotePath(name);
        const long long rc = op(*s, path);
        if (rc != 0) {
            s->sftpFailure(std::string(what) + " " + path);
            return 0;
        }
        return 1;
    });
}

int32_t configInt(SshSession& s, int index) {
    return index >= 0 && index < static_cast<int>(s.confInt.size()) ? s.confInt[index] : 0;
}

// How many bytes of an upload are in flight at once: enough for the round trip at 256 MiB/s,
// at least 512 KiB, at most the buffer. A deeper queue does not make a fast line faster; on a
// local network it only makes the server shift megabytes through its buffers (on loopback the
// upload took a third longer with 4 MiB in flight than with 512 KiB). The round trip is taken
// from one request, which is never quicker than the line, so a slow answer errs towards the
// deeper queue.
size_t uploadInFlight(std::chrono::steady_clock::duration roundTrip, size_t capacity) {
    constexpr double bytesPerSecond = 256.0 * 1024 * 1024;
    constexpr size_t least = 512 * 1024;
    const double seconds = std::chrono::duration<double>(roundTrip).count();
    const double wanted = std::max(seconds, 0.0) * bytesPerSecond;
    if (wanted >= double(capacity))
        return capacity;
    return std::min(capacity, std::max(least, size_t(wanted)));
}

} // namespace

extern "C" {

int32_t tggetlibrarycontextsize(void) {
    return static_cast<int32_t>(sizeof(TTGLibraryContext)) + TG_REPORT_CONTEXT_EXTRA;
}

void tggetstructsizes(int32_t* ulongsize, int32_t* namesize, int32_t* attrsize,
                      int32_t* namessize) {
    *ulongsize = sizeof(tg_ulong);
    *namesize = sizeof(fxp_name) + TG_REPORT_NAMESIZE_EXTRA;
    *attrsize = sizeof(fxp_attrs);
    *namessize = sizeof(fxp_names);
}

void tgputtygetversions(double* puttyrelease, int32_t* tgputtylibbuild) {
    // The release is that of the SSH implementation underneath: libssh2 major.minor.
    *puttyrelease = (LIBSSH2_VERSION_NUM >> 16) + ((LIBSSH2_VERSION_NUM >> 8) & 0xFF) / 100.0;
    *tgputtylibbuild = TG_REPORT_BUILD;
}

int32_t tgputty_initcontext(bool verbose, TTGLibraryContext* ctx) {
    if (!ctx || ctx->structsize != static_cast<int32_t>(sizeof(TTGLibraryContext)) ||
        !s_initialised)
        return 1;
    return GUARDED(ctx, 1, {
        auto s = std::make_unique<SshSession>(ctx, verbose);
        s->confInt.resize(TGPUTTYLIB_CONF_COUNT);
        s->confStr.resize(TGPUTTYLIB_CONF_COUNT);
        for (int i = 0; i < TGPUTTYLIB_CONF_COUNT; ++i)
            s->confInt[i] = tgputty::ConfigTable::defaultInt(i);
        ctx->pwd = nullptr;
        ctx->homedir = nullptr;
        ctx->fxp_error_message = nullptr;
        std::lock_guard<std::mutex> lock(s_registryLock);
        s_sessions[ctx] = std::move(s);
        return 0;
    });
}

bool tgputty_getconfigarrays(int32_t** types, int32_t** subtypes, char*** names, int32_t* count) {
    *types = tgputty::ConfigTable::types();
    *subtypes = tgputty::ConfigTable::subtypes();
    *names = tgputty::ConfigTable::names();
    *count = tgputty::ConfigTable::count();
    return true;
}

void tgputty_setverbose(int32_t level) {
    tgputty::setOutputLevel(level);
}

void tgputtyfree(TTGLibraryContext* ctx) {
    std::unique_ptr<SshSession> s;
    {
        std::lock_guard<std::mutex> lock(s_registryLock);
        const auto it = s_sessions.find(ctx);
        if (it == s_sessions.end())
            return;
        s = std::move(it->second);
        s_sessions.erase(it);
    }
    s.reset(); // closes the connection if one is open
}

void tgputty_setkeyfile(const char* filename, TTGLibraryContext* ctx) {
    if (SshSession* s = sessionOf(ctx))
        s->keyfile = filename ? filename : "";
}

int32_t tgsftp_connect(const char* host, const char* user, int32_t port, const char* password,
                       TTGLibraryContext* ctx) {
    return GUARDED(ctx, 1, {
        SshSession* s = sessionOf(ctx);
        if (!s) {
            reportFatal(ctx, "context not initialised", __LINE__);
            return 1;
        }
        return s->connect(host, user, port, password);
    });
}

void tgsftp_close(TTGLibraryContext* ctx) {
    if (SshSession* s = sessionOf(ctx))
        s->close();
}

int32_t tgsftp_cd(const char* dir, TTGLibraryContext* ctx) {
    return GUARDED(ctx, 0, {
        SshSession* s = openSession(ctx, "cd");
        if (!s)
            return 0;
        const std::string path = s->remotePath(dir);
        char buffer[4096] = {};
        const long long rc = s->call([&] {
            return libssh2_sftp_symlink_ex(s->sftp(), path.c_str(),
                                           static_cast<unsigned>(path.size()), buffer,
                                           sizeof buffer - 1, LIBSSH2_SFTP_REALPATH);
        });
        if (rc <= 0) {
            s->sftpFailure("cd " + path);
            return 0;
        }
        const std::string real(buffer, static_cast<size_t>(rc));
        LIBSSH2_SFTP_ATTRIBUTES attrs{};
        const long long st = s->call([&] {
            return libssh2_sftp_stat_ex(s->sftp(), real.c_str(), static_cast<unsigned>(real.size()),
                                        LIBSSH2_SFTP_STAT, &attrs);
        });
        if (st != 0) {
            s->sftpFailure("cd " + real);
            return 0;
        }
        if (!LIBSSH2_SFTP_S_ISDIR(attrs.permissions)) {
            s->error("cd " + real + ": not a directory");
            return 0;
        }
        s->setWorkDir(real);
        s->info("Remote directory is now " + real);
        return 1;
    });
}

int32_t tgsftp_ls(const char* dir, TTGLibraryContext* ctx) {
    return GUARDED(ctx, 0, {
        SshSession* s = openSession(ctx, "ls");
        if (!s)
            return 0;
        const std::string path = s->remotePath(dir);
        LIBSSH2_SFTP_HANDLE* h = openRemote(*s, path, 0, 0, LIBSSH2_SFTP_OPENDIR);
        if (!h) {
            s->sftpFailure("ls " + path);
            return 0;
        }
        std::vector<std::string> files, longs;
        std::vector<fxp_attrs> attrs;
        for (;;) {
            char name[1024];
            char longentry[2048];
            LIBSSH2_SFTP_ATTRIBUTES a{};
            const long long rc = s->call([&] {
                return libssh2_sftp_readdir_ex(h, name, sizeof name, longentry, sizeof longentry,
                                               &a);
            });
            if (rc == 0)
                break;
            if (rc < 0) {
                s->sftpFailure("ls " + path);
                closeRemote(*s, h);
                return 0;
            }
            files.emplace_back(name, static_cast<size_t>(rc));
            longs.emplace_back(longentry);
            fxp_attrs fa{};
            toAttrs(a, &fa);
            attrs.push_back(fa);
        }
        closeRemote(*s, h);
        std::vector<fxp_name> entries(files.size());
        for (size_t i = 0; i < files.size(); ++i) {
            entries[i].filename = files[i].data();
            entries[i].longname = longs[i].data();
            entries[i].attrs = attrs[i];
        }
        fxp_names list{static_cast<int32_t>(entries.size()), entries.data()};
        if (ctx->ls_callback)
            ctx->ls_callback(&list, ctx);
        return 1;
    });
}

int32_t tgsftp_rm(const char* name, TTGLibraryContext* ctx) {
    return simplePathCall(ctx, name, "rm", [](SshSession& s, const std::string& p) {
        return static_cast<int>(s.call([&] {
            return libssh2_sftp_unlink_ex(s.sftp(), p.c_str(), static_cast<unsigned>(p.size()));
        }));
    });
}

int32_t tgsftp_rmdir(const char* dir, TTGLibraryContext* ctx) {
    return simplePathCall(ctx, dir, "rmdir", [](SshSession& s, const std::string& p) {
        return static_cast<int>(s.call([&] {
            return libssh2_sftp_rmdir_ex(s.sftp(), p.c_str(), static_cast<unsigned>(p.size()));
        }));
    });
}

int32_t tgsftp_mkdir(const char* dir, TTGLibraryContext* ctx) {
#ifdef TG_TEST_FATAL
    // A test build fails here inside the guard, as an exhausted memory would.
    if (dir && std::string(dir) == "fatal")
        return GUARDED(ctx, 0, {
            throw std::runtime_error("injected fault");
            return 0;
        });
#endif
    return simplePathCall(ctx, dir, "mkdir", [](SshSession& s, const std::string& p) {
        return static_cast<int>(s.call([&] {
            return libssh2_sftp_mkdir_ex(s.sftp(), p.c_str(), static_cast<unsigned>(p.size()),
                                         0755);
        }));
    });
}

int32_t tgsftp_mvex(const char* from, const char* to, int32_t flags, TTGLibraryContext* ctx) {
    return GUARDED(ctx, 0, {
        SshSession* s = openSession(ctx, "mv");
        if (!s)
            return 0;
        const std::string a = s->remotePath(from);
        const std::string b = s->remotePath(to);
        const long long rc = s->call([&] {
            return libssh2_sftp_rename_ex(s->sftp(), a.c_str(), static_cast<unsigned>(a.size()),
                                          b.c_str(), static_cast<unsigned>(b.size()), flags);
        });
        if (rc != 0) {
            s->sftpFailure("mv " + a + " " + b);
            return 0;
        }
        return 1;
    });
}

int32_t tgsftp_mv(const char* from, const char* to, TTGLibraryContext* ctx) {
    return tgsftp_mvex(from, to,
                       LIBSSH2_SFTP_RENAME_OVERWRITE | LIBSSH2_SFTP_RENAME_ATOMIC |
                           LIBSSH2_SFTP_RENAME_NATIVE,
                       ctx);
}

int32_t tgsftp_putfile(const char* localname, const char* remotename, bool append,
                       TTGLibraryContext* ctx) {
    return GUARDED(ctx, 0, {
        SshSession* s = openSession(ctx, "put");
        if (!s)
            return 0;
        const std::string path = s->remotePath(remotename);
        std::unique_ptr<FILE, int (*)(FILE*)> local(nullptr, &std::fclose);
        if (localname) {
            local.reset(std::fopen(localname, "rb"));
            if (!local) {
                s->error(std::string("Cannot open the local file ") + localname + ": " +
                         std::strerror(errno));
                return 0;
            }
        } else if (!ctx->read_from_stream) {
            s->error("put: no data source");
            return 0;
        }
        const unsigned long flags = LIBSSH2_FXF_WRITE | LIBSSH2_FXF_CREAT |
                                    (append ? LIBSSH2_FXF_APPEND : LIBSSH2_FXF_TRUNC);
        LIBSSH2_SFTP_HANDLE* h = openRemote(*s, path, flags, 0644, LIBSSH2_SFTP_OPENFILE);
        if (!h) {
            s->sftpFailure("Cannot create the remote file " + path);
            return 0;
        }
        // One small request measures the round trip (opening may take long: it truncates).
        const auto statStart = std::chrono::steady_clock::now();
        LIBSSH2_SFTP_ATTRIBUTES a{};
        const bool stated = s->call([&] { return libssh2_sftp_fstat_ex(h, &a, 0); }) == 0;
        const auto roundTrip = std::chrono::steady_clock::now() - statStart;
        if (append && stated)
            libssh2_sftp_seek64(h, a.filesize);
        s->info("Uploading to " + path);

        // Many write requests stay in flight: libssh2 splits what it is given into requests
        // and sends them all before it waits for the first answer, so it is always given
        // `inFlight` bytes (or the rest of the file), and the buffer holds twice that.
        const size_t configured = static_cast<size_t>(
            std::max<int32_t>(configInt(*s, tgputty::ConfWriteBuffer), 64 * 1024));
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
                        got = static_cast<int64_t>(
                            std::fread(buffer.data() + end, 1, room, local.get()));
                        if (got == 0 && std::ferror(local.get())) {
                            s->error("Error reading the local file");
                            ok = false;
                            break;
                        }
                    } else {
                        got = ctx->read_from_stream(readOffset, buffer.data() + end,
                                                    static_cast<int32_t>(room), ctx);
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
            const long long rc = s->call([&] {
                return libssh2_sftp_write(h, buffer.data() + begin,
                                          std::min(end - begin, inFlight));
            });
            if (rc < 0) {
                s->sftpFailure("Error writing the remote file " + path);
                ok = false;
                break;
            }
            begin += static_cast<size_t>(rc);
            acked += rc;
            if (ctx->progress_callback && !ctx->progress_callback(acked, true, ctx)) {
                s->error("Upload cancelled");
                ok = false;
            }
            if (ctx->aborted) {
                s->error("Upload aborted");
                ok = false;
            }
        }
        // The last answers may still be missing; closing the handle waits for them.
        const long long closed = s->call([&] { return libssh2_sftp_close_handle(h); });
        if (ok && closed != 0) {
            s->sftpFailure("Error closing the remote file " + path);
            ok = false;
        }
        if (ok)
            s->info("Uploaded " + std::to_string(acked) + " bytes to " + path);
        return ok ? 1 : 0;
    });
}

int32_t tgsftp_getfile(const char* remotename, const char* localname, bool append,
                       TTGLibraryContext* ctx) {
    return GUARDED(ctx, 0, {
        SshSession* s = openSession(ctx, "get");
        if (!s)
            return 0;
        const std::string path = s->remotePath(remotename);
        std::unique_ptr<FILE, int (*)(FILE*)> local(nullptr, &std::fclose);
        uint64_t offset = 0;
        if (localname) {
            local.reset(std::fopen(localname, append ? "ab" : "wb"));
            if (!local) {
                s->error(std::string("Cannot create the local file ") + localname + ": " +
                         std::strerror(errno));
                return 0;
            }
            if (append) {
                std::fseek(local.get(), 0, SEEK_END);
                offset = static_cast<uint64_t>(std::ftell(local.get()));
            }
        } else if (!ctx->write_to_stream) {
            s->error("get: no data sink");
            return 0;
        }
        LIBSSH2_SFTP_HANDLE* h = openRemote(*s, path, LIBSSH2_FXF_READ, 0, LIBSSH2_SFTP_OPENFILE);
        if (!h) {
            s->sftpFailure("Cannot open the remote file " + path);
            return 0;
        }
        if (offset)
            libssh2_sftp_seek64(h, offset);
        s->info("Downloading " + path);
        std::vector<char> buffer(static_cast<size_t>(
            std::max<int32_t>(configInt(*s, tgputty::ConfReadBuffer), 64 * 1024)));
        bool ok = true;
        int64_t total = 0;
        for (;;) {
            const long long rc =
                s->call([&] { return libssh2_sftp_read(h, buffer.data(), buffer.size()); });
            if (rc == 0)
                break;
            if (rc < 0) {
                s->sftpFailure("Error reading the remote file " + path);
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
                    wrote = ctx->write_to_stream(offset, buffer.data() + done,
                                                 static_cast<int32_t>(rc - done), ctx);
                if (wrote <= 0) {
                    s->error("Error writing the local data");
                    ok = false;
                    break;
                }
                done += static_cast<size_t>(wrote);
                offset += static_cast<uint64_t>(wrote);
            }
            if (!ok)
                break;
            total += rc;
            if (local && ctx->progress_callback && !ctx->progress_callback(total, false, ctx)) {
                s->error("Download cancelled");
                ok = false;
                break;
            }
            if (ctx->aborted) {
                s->error("Download aborted");
                ok = false;
                break;
            }
        }
        closeRemote(*s, h);
        if (local && std::fflush(local.get()) != 0) {
            s->error("Error writing the local file");
            ok = false;
        }
        return ok ? 1 : 0;
    });
}

bool tgsftp_getstat(const char* name, fxp_attrs* attrs, TTGLibraryContext* ctx) {
    return GUARDED(ctx, false, {
        SshSession* s = openSession(ctx, "stat");
        if (!s)
            return false;
        const std::string path = s->remotePath(name);
        LIBSSH2_SFTP_ATTRIBUTES a{};
        const long long rc = s->call([&] {
            return libssh2_sftp_stat_ex(s->sftp(), path.c_str(), static_cast<unsigned>(path.size()),
                                        LIBSSH2_SFTP_STAT, &a);
        });
        if (rc != 0) {
            s->sftpFailure("stat " + path);
            return false;
        }
        toAttrs(a, attrs);
        return true;
    });
}

bool tgsftp_setstat(const char* name, const fxp_attrs* attrs, TTGLibraryContext* ctx) {
    return GUARDED(ctx, false, {
        SshSession* s = openSession(ctx, "setstat");
        if (!s)
            return false;
        const std::string path = s->remotePath(name);
        LIBSSH2_SFTP_ATTRIBUTES a = fromAttrs(attrs);
        const long long rc = s->call([&] {
            return libssh2_sftp_stat_ex(s->sftp(), path.c_str(), static_cast<unsigned>(path.size()),
                                        LIBSSH2_SFTP_SETSTAT, &a);
        });
        if (rc != 0) {
            s->sftpFailure("setstat " + path);
            return false;
        }
        return true;
    });
}

tg_filehandle* tgputty_openfile(const char* name, int32_t openflags, const fxp_attrs* attrs,
                                TTGLibraryContext* ctx) {
    return GUARDED(ctx, static_cast<tg_filehandle*>(nullptr), {
        SshSession* s = openSession(ctx, "open");
        if (!s)
            return static_cast<tg_filehandle*>(nullptr);
        const std::string path = s->remotePath(name);
        const long mode = attrs && (attrs->flags & TG_ATTR_PERMISSIONS)
                              ? static_cast<long>(attrs->permissions & 07777)
                              : 0644;
        LIBSSH2_SFTP_HANDLE* h = openRemote(*s, path, static_cast<unsigned long>(openflags), mode,
                                            LIBSSH2_SFTP_OPENFILE);
        if (!h) {
            s->sftpFailure("open " + path);
            return static_cast<tg_filehandle*>(nullptr);
        }
        auto* fh = new tg_filehandle;
        fh->handle = h;
        return fh;
    });
}

int32_t tgputty_closefile(tg_filehandle** fh, TTGLibraryContext* ctx) {
    if (!fh || !*fh)
        return 0;
    SshSession* s = sessionOf(ctx);
    long long rc = 0;
    if (s && s->isOpen())
        rc = s->call([&] { return libssh2_sftp_close_handle((*fh)->handle); });
    delete *fh;
    *fh = nullptr;
    return rc == 0 ? 1 : 0;
}

tg_xfer* tgputty_xfer_upload_init(tg_filehandle* fh, uint64_t offset, TTGLibraryContext* ctx) {
    return GUARDED(ctx, static_cast<tg_xfer*>(nullptr), {
        auto* x = new tg_xfer;
        x->file = fh;
        x->offset = offset;
        x->upload = true;
        if (fh)
            libssh2_sftp_seek64(fh->handle, offset);
        return x;
    });
}

bool tgputty_xfer_upload_ready(tg_xfer* xfer, TTGLibraryContext*) {
    return xfer && !xfer->failed;
}

void tgputty_xfer_upload_data(tg_xfer* xfer, char* buffer, int32_t len, uint64_t offset,
                              TTGLibraryContext* ctx) {
    GUARDED(ctx, 0, {
        SshSession* s = sessionOf(ctx);
        if (!xfer || xfer->failed || !s || !s->isOpen() || !xfer->file)
            return 0;
        if (offset != xfer->offset) {
            libssh2_sftp_seek64(xfer->file->handle, offset);
            xfer->offset = offset;
        }
        size_t done = 0;
        while (done < static_cast<size_t>(len)) {
            const long long rc = s->call([&] {
                return libssh2_sftp_write(xfer->file->handle, buffer + done,
                                          static_cast<size_t>(len) - done);
            });
            if (rc < 0) {
                s->sftpFailure("write");
                xfer->failed = true;
                return 0;
            }
            done += static_cast<size_t>(rc);
        }
        xfer->offset += static_cast<uint64_t>(len);
        return 0;
    });
}

tg_xfer* tgputty_xfer_download_init(tg_filehandle* fh, uint64_t offset, TTGLibraryContext* ctx) {
    return GUARDED(ctx, static_cast<tg_xfer*>(nullptr), {
        auto* x = new tg_xfer;
        x->file = fh;
        x->offset = offset;
        SshSession* s = sessionOf(ctx);
        x->buffer.resize(static_cast<size_t>(
            std::max<int32_t>(s ? configInt(*s, tgputty::ConfReadBuffer) : 0, 64 * 1024)));
        if (fh)
            libssh2_sftp_seek64(fh->handle, offset);
        return x;
    });
}

bool tgputty_xfer_download_preparequeue(tg_xfer* xfer, TTGLibraryContext* ctx) {
    return GUARDED(ctx, false, {
        SshSession* s = sessionOf(ctx);
        if (!xfer || xfer->failed || !s || !s->isOpen() || !xfer->file) {
            if (xfer)
                xfer->failed = true;
            return false;
        }
        if (xfer->eof)
            return true;
        // Waits a short while only: a stalled server gives empty rounds, which the caller
        // counts against its own idle time-out.
        const int slice = std::min(s->replyTimeoutMs(), 500);
        const long long rc = s->call(
            [&] {
                return libssh2_sftp_read(xfer->file->handle, xfer->buffer.data(),
                                         xfer->buffer.size());
            },
            slice);
        if (rc == LIBSSH2_ERROR_TIMEOUT)
            return true;
        if (rc == 0) {
            xfer->eof = true;
            return true;
        }
        if (rc < 0) {
            s->sftpFailure("read");
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
    });
}

bool tgputty_xfer_download_data(tg_xfer* xfer, void** buf, int32_t* len, TTGLibraryContext*) {
    if (!xfer || xfer->blocks.empty())
        return false;
    *buf = xfer->blocks.front().first;
    *len = xfer->blocks.front().second;
    xfer->blocks.erase(xfer->blocks.begin());
    return true;
}

void tgputty_xfer_set_error(tg_xfer* xfer, TTGLibraryContext*) {
    if (xfer)
        xfer->failed = true;
}

bool tgputty_xfer_ensuredone(tg_xfer* xfer, TTGLibraryContext* ctx) {
    return tgputty_xfer_done(xfer, ctx);
}

bool tgputty_xfer_done(tg_xfer* xfer, TTGLibraryContext*) {
    if (!xfer)
        return true;
    if (xfer->upload)
        return true; // every block is written before upload_data returns
    return xfer->failed || (xfer->eof && xfer->blocks.empty());
}

void tgputty_xfer_cleanup(tg_xfer* xfer, TTGLibraryContext*) {
    if (!xfer)
        return;
    for (auto& block : xfer->blocks)
        std::free(block.first);
    delete xfer;
}

void tgputty_sfree(void* p, TTGLibraryContext*) {
    std::free(p);
}

int32_t tgputty_conf_get_int(int32_t index, TTGLibraryContext* ctx) {
    SshSession* s = sessionOf(ctx);
    return s ? configInt(*s, index) : 0;
}

const char* tgputty_conf_get_str(int32_t index, TTGLibraryContext* ctx) {
    SshSession* s = sessionOf(ctx);
    if (!s || index < 0 || index >= static_cast<int32_t>(s->confStr.size()))
        return "";
    return s->confStr[index].c_str();
}

void tgputty_conf_set_bool(int32_t index, bool value, TTGLibraryContext* ctx) {
    tgputty_conf_set_int(index, value ? 1 : 0, ctx);
}

void tgputty_conf_set_int(int32_t index, int32_t value, TTGLibraryContext* ctx) {
    SshSession* s = sessionOf(ctx);
    if (s && index >= 0 && index < static_cast<int32_t>(s->confInt.size()))
        s->confInt[index] = value;
}

void tgputty_conf_set_str(int32_t index, const char* value, TTGLibraryContext* ctx) {
    SshSession* s = sessionOf(ctx);
    if (s && index >= 0 && index < static_cast<int32_t>(s->confStr.size()))
        s->confStr[index] = value ? value : "";
}

} // extern "C"
