#include "tgputtylib/RemoteFiles.h"

#include "tgputtylib/SshSession.h"

#include <vector>

namespace tgputty {

namespace {

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

} // namespace

LIBSSH2_SFTP_HANDLE* RemoteFiles::open(const std::string& path, unsigned long flags, long mode,
                                       int type, LIBSSH2_SFTP* channel) {
    LIBSSH2_SFTP* on = channel ? channel : m_s.sftp();
    return m_s.callPtr<LIBSSH2_SFTP_HANDLE>([&] {
        return libssh2_sftp_open_ex(on, path.c_str(), static_cast<unsigned>(path.size()), flags,
                                    mode, type);
    });
}

void RemoteFiles::close(LIBSSH2_SFTP_HANDLE* handle) {
    if (handle)
        m_s.call([&] { return libssh2_sftp_close_handle(handle); });
}

bool RemoteFiles::changeDir(const char* dir) {
    const std::string path = m_s.remotePath(dir);
    char buffer[4096] = {};
    const long long rc = m_s.call([&] {
        return libssh2_sftp_symlink_ex(m_s.sftp(), path.c_str(), static_cast<unsigned>(path.size()),
                                       buffer, sizeof buffer - 1, LIBSSH2_SFTP_REALPATH);
    });
    if (rc <= 0) {
        m_s.sftpFailure("cd " + path);
        return false;
    }
    const std::string real(buffer, static_cast<size_t>(rc));
    LIBSSH2_SFTP_ATTRIBUTES attrs{};
    const long long st = m_s.call([&] {
        return libssh2_sftp_stat_ex(m_s.sftp(), real.c_str(), static_cast<unsigned>(real.size()),
                                    LIBSSH2_SFTP_STAT, &attrs);
    });
    if (st != 0) {
        m_s.sftpFailure("cd " + real);
        return false;
    }
    if (!LIBSSH2_SFTP_S_ISDIR(attrs.permissions)) {
        m_s.error("cd " + real + ": not a directory");
        return false;
    }
    m_s.setWorkDir(real);
    m_s.info("Remote directory is now " + real);
    return true;
}

bool RemoteFiles::list(const char* dir) {
    const std::string path = m_s.remotePath(dir);
    LIBSSH2_SFTP_HANDLE* h = open(path, 0, 0, LIBSSH2_SFTP_OPENDIR);
    if (!h) {
        m_s.sftpFailure("ls " + path);
        return false;
    }
    std::vector<std::string> files, longs;
    std::vector<fxp_attrs> attrs;
    for (;;) {
        char name[1024];
        char longentry[2048];
        LIBSSH2_SFTP_ATTRIBUTES a{};
        const long long rc = m_s.call([&] {
            return libssh2_sftp_readdir_ex(h, name, sizeof name, longentry, sizeof longentry, &a);
        });
        if (rc == 0)
            break;
        if (rc < 0) {
            m_s.sftpFailure("ls " + path);
            close(h);
            return false;
        }
        files.emplace_back(name, static_cast<size_t>(rc));
        longs.emplace_back(longentry);
        fxp_attrs fa{};
        toAttrs(a, &fa);
        attrs.push_back(fa);
    }
    close(h);
    std::vector<fxp_name> entries(files.size());
    for (size_t i = 0; i < files.size(); ++i) {
        entries[i].filename = files[i].data();
        entries[i].longname = longs[i].data();
        entries[i].attrs = attrs[i];
    }
    fxp_names names{static_cast<int32_t>(entries.size()), entries.data()};
    if (m_s.ctx()->ls_callback)
        m_s.ctx()->ls_callback(&names, m_s.ctx());
    return true;
}

bool RemoteFiles::remove(const char* name) {
    const std::string p = m_s.remotePath(name);
    if (m_s.call([&] {
            return libssh2_sftp_unlink_ex(m_s.sftp(), p.c_str(), static_cast<unsigned>(p.size()));
        }) == 0)
        return true;
    m_s.sftpFailure("rm " + p);
    return false;
}

bool RemoteFiles::removeDir(const char* dir) {
    const std::string p = m_s.remotePath(dir);
    if (m_s.call([&] {
            return libssh2_sftp_rmdir_ex(m_s.sftp(), p.c_str(), static_cast<unsigned>(p.size()));
        }) == 0)
        return true;
    m_s.sftpFailure("rmdir " + p);
    return false;
}

bool RemoteFiles::makeDir(const char* dir) {
    const std::string p = m_s.remotePath(dir);
    if (m_s.call([&] {
            return libssh2_sftp_mkdir_ex(m_s.sftp(), p.c_str(), static_cast<unsigned>(p.size()),
                                         0755);
        }) == 0)
        return true;
    m_s.sftpFailure("mkdir " + p);
    return false;
}

bool RemoteFiles::rename(const char* from, const char* to, int flags) {
    const std::string a = m_s.remotePath(from);
    const std::string b = m_s.remotePath(to);
    const long long rc = m_s.call([&] {
        return libssh2_sftp_rename_ex(m_s.sftp(), a.c_str(), static_cast<unsigned>(a.size()),
                                      b.c_str(), static_cast<unsigned>(b.size()), flags);
    });
    if (rc == 0)
        return true;
    m_s.sftpFailure("mv " + a + " " + b);
    return false;
}

bool RemoteFiles::getStat(const char* name, fxp_attrs* attrs) {
    const std::string path = m_s.remotePath(name);
    LIBSSH2_SFTP_ATTRIBUTES a{};
    const long long rc = m_s.call([&] {
        return libssh2_sftp_stat_ex(m_s.sftp(), path.c_str(), static_cast<unsigned>(path.size()),
                                    LIBSSH2_SFTP_STAT, &a);
    });
    if (rc != 0) {
        m_s.sftpFailure("stat " + path);
        return false;
    }
    toAttrs(a, attrs);
    return true;
}

bool RemoteFiles::setStat(const char* name, const fxp_attrs* attrs) {
    const std::string path = m_s.remotePath(name);
    LIBSSH2_SFTP_ATTRIBUTES a = fromAttrs(attrs);
    const long long rc = m_s.call([&] {
        return libssh2_sftp_stat_ex(m_s.sftp(), path.c_str(), static_cast<unsigned>(path.size()),
                                    LIBSSH2_SFTP_SETSTAT, &a);
    });
    if (rc != 0) {
        m_s.sftpFailure("setstat " + path);
        return false;
    }
    return true;
}

} // namespace tgputty
