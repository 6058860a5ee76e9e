// The exported functions of libtgputtylib.so: each finds the context's session, keeps
// failures inside the library from unwinding into the caller, and leaves the work to the
// session's parts.

#include "tgputtylib/ConfigTable.h"
#include "tgputtylib/RemoteFiles.h"
#include "tgputtylib/SessionRegistry.h"
#include "tgputtylib/SshSession.h"
#include "tgputtylib/Transfers.h"
#include "tgputtylib/tgputtylib.h"

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <memory>
#include <new>
#include <string>

using tgputty::RemoteFiles;
using tgputty::SessionRegistry;
using tgputty::SshSession;
using tgputty::Transfers;

namespace {

SshSession* sessionOf(TTGLibraryContext* ctx) {
    return SessionRegistry::find(ctx);
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

} // namespace

extern "C" {

int32_t tgputty_initcontext(bool verbose, TTGLibraryContext* ctx) {
    if (!ctx || ctx->structsize != static_cast<int32_t>(sizeof(TTGLibraryContext)) ||
        !SessionRegistry::libraryReady())
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
        SessionRegistry::add(ctx, std::move(s));
        return 0;
    });
}

void tgputty_setverbose(int32_t level) {
    tgputty::setOutputLevel(level);
}

void tgputtyfree(TTGLibraryContext* ctx) {
    SessionRegistry::take(ctx).reset(); // closes the connection if one is open
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
        return s && RemoteFiles(*s).changeDir(dir) ? 1 : 0;
    });
}

int32_t tgsftp_ls(const char* dir, TTGLibraryContext* ctx) {
    return GUARDED(ctx, 0, {
        SshSession* s = openSession(ctx, "ls");
        return s && RemoteFiles(*s).list(dir) ? 1 : 0;
    });
}

int32_t tgsftp_rm(const char* name, TTGLibraryContext* ctx) {
    return GUARDED(ctx, 0, {
        SshSession* s = openSession(ctx, "rm");
        return s && RemoteFiles(*s).remove(name) ? 1 : 0;
    });
}

int32_t tgsftp_rmdir(const char* dir, TTGLibraryContext* ctx) {
    return GUARDED(ctx, 0, {
        SshSession* s = openSession(ctx, "rmdir");
        return s && RemoteFiles(*s).removeDir(dir) ? 1 : 0;
    });
}

int32_t tgsftp_mkdir(const char* dir, TTGLibraryContext* ctx) {
    return GUARDED(ctx, 0, {
        SshSession* s = openSession(ctx, "mkdir");
        return s && RemoteFiles(*s).makeDir(dir) ? 1 : 0;
    });
}

int32_t tgsftp_mvex(const char* from, const char* to, int32_t flags, TTGLibraryContext* ctx) {
    return GUARDED(ctx, 0, {
        SshSession* s = openSession(ctx, "mv");
        return s && RemoteFiles(*s).rename(from, to, flags) ? 1 : 0;
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
        return s && Transfers(*s).upload(localname, remotename, append) ? 1 : 0;
    });
}

int32_t tgsftp_getfile(const char* remotename, const char* localname, bool append,
                       TTGLibraryContext* ctx) {
    return GUARDED(ctx, 0, {
        SshSession* s = openSession(ctx, "get");
        return s && Transfers(*s).download(remotename, localname, append) ? 1 : 0;
    });
}

bool tgsftp_getstat(const char* name, fxp_attrs* attrs, TTGLibraryContext* ctx) {
    return GUARDED(ctx, false, {
        SshSession* s = openSession(ctx, "stat");
        return s && RemoteFiles(*s).getStat(name, attrs);
    });
}

bool tgsftp_setstat(const char* name, const fxp_attrs* attrs, TTGLibraryContext* ctx) {
    return GUARDED(ctx, false, {
        SshSession* s = openSession(ctx, "setstat");
        return s && RemoteFiles(*s).setStat(name, attrs);
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
        LIBSSH2_SFTP_HANDLE* h = RemoteFiles(*s).open(path, static_cast<unsigned long>(openflags),
                                                      mode, LIBSSH2_SFTP_OPENFILE);
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
        if (SshSession* s = sessionOf(ctx))
            Transfers(*s).writeBlock(xfer, buffer, len, offset);
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
            std::max<int32_t>(s ? s->configInt(tgputty::ConfReadBuffer) : 0, 64 * 1024)));
        if (fh)
            libssh2_sftp_seek64(fh->handle, offset);
        return x;
    });
}

bool tgputty_xfer_download_preparequeue(tg_xfer* xfer, TTGLibraryContext* ctx) {
    return GUARDED(ctx, false, {
        SshSession* s = sessionOf(ctx);
        if (!s) {
            if (xfer)
                xfer->failed = true;
            return false;
        }
        return Transfers(*s).readBlock(xfer);
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
    return s ? s->configInt(index) : 0;
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
