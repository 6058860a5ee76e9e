#include "transfer/sftp/TGPuttyLibrary.h"

#include "platform/NoFollowFile.h"

#include <QFile>
#include <QMutex>
#include <QMutexLocker>

#include <cerrno>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <map>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The process-wide lock of the SFTP sessions: guards the loaded libraries and the
// configuration-name index. A plain static, so it exists from program start to exit.
QMutex s_lock;
std::map<QString, std::unique_ptr<TGPuttyLibrary>> s_libraries;

// Opens the library file for loading: not through a link in its place, and only when no other
// account could have written it (it belongs to root or to the program's user, and neither its
// group nor others may write it), since its code runs as the program's user. -1 with the reason
// in `why` otherwise.
int openTrusted(const QString& path, QString* why) {
    const auto refuse = [&](const QString& reason) {
        if (why)
            *why = reason;
        return -1;
    };
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        if (error == ELOOP && NoFollowFile::isSymLink(path))
            return refuse(NoFollowFile::refusal(path));
        return refuse(path + QStringLiteral(": cannot open shared object file: ") +
                      QString::fromLocal8Bit(std::strerror(error)));
    }
    struct stat st {};
    QString problem;
    if (::fstat(fd, &st) != 0)
        problem = path + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errno));
    else if (!S_ISREG(st.st_mode))
        problem = path + QStringLiteral(": keine Datei");
    else if (st.st_uid != 0 && st.st_uid != ::geteuid())
        problem = path + QStringLiteral(": gehört weder root noch dem Benutzer des Programms, wird "
                                        "nicht geladen");
    else if (st.st_mode & (S_IWGRP | S_IWOTH))
        problem = path + QStringLiteral(": ist für andere Benutzer beschreibbar, wird nicht "
                                        "geladen");
    if (!problem.isEmpty()) {
        ::close(fd);
        return refuse(problem);
    }
    return fd;
}

} // namespace

const TGPuttyLibrary* TGPuttyLibrary::load(const QString& folder, QString* why) {
    const QString path = folder + QStringLiteral("libtgputtylib.so");
    QMutexLocker lock(&s_lock);
    const auto it = s_libraries.find(path);
    if (it != s_libraries.end())
        return it->second.get();

    const int fd = openTrusted(path, why);
    if (fd < 0)
        return nullptr;
    // The file checked is the file loaded: through its descriptor, so nothing renamed into its
    // place meanwhile is. The descriptor stays open as long as the library is loaded (for good):
    // the loader knows the library by that name, and a later library opened under the same
    // number would otherwise be taken for this one. RTLD_LOCAL keeps each library's symbols to
    // itself (tests load more than one).
    const QByteArray byDescriptor = "/proc/self/fd/" + QByteArray::number(fd);
    void* handle = ::dlopen(byDescriptor.constData(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        if (why)
            *why = QString::fromLocal8Bit(::dlerror())
                       .replace(QString::fromLatin1(byDescriptor), path);
        ::close(fd);
        return nullptr;
    }
    auto lib = std::make_unique<TGPuttyLibrary>();
    lib->path = path;
    bool complete = true;
    const auto resolve = [&](auto& fn, const char* name) {
        fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(::dlsym(handle, name));
        if (!fn) {
            complete = false;
            if (why)
                *why = QStringLiteral("missing function ") + QLatin1String(name);
        }
    };
#define TG_RESOLVE(name) resolve(lib->name, #name)
    TG_RESOLVE(tggetlibrarycontextsize);
    TG_RESOLVE(tggetstructsizes);
    TG_RESOLVE(tgputtygetversions);
    TG_RESOLVE(tgputty_initcontext);
    TG_RESOLVE(tgputty_getconfigarrays);
    TG_RESOLVE(tgputty_setverbose);
    TG_RESOLVE(tgputtyfree);
    TG_RESOLVE(tgputty_setkeyfile);
    TG_RESOLVE(tgsftp_connect);
    TG_RESOLVE(tgsftp_close);
    TG_RESOLVE(tgsftp_cd);
    TG_RESOLVE(tgsftp_ls);
    TG_RESOLVE(tgsftp_rm);
    TG_RESOLVE(tgsftp_rmdir);
    TG_RESOLVE(tgsftp_mkdir);
    TG_RESOLVE(tgsftp_mv);
    TG_RESOLVE(tgsftp_mvex);
    TG_RESOLVE(tgsftp_putfile);
    TG_RESOLVE(tgsftp_getfile);
    TG_RESOLVE(tgsftp_getstat);
    TG_RESOLVE(tgsftp_setstat);
    TG_RESOLVE(tgputty_openfile);
    TG_RESOLVE(tgputty_closefile);
    TG_RESOLVE(tgputty_xfer_upload_init);
    TG_RESOLVE(tgputty_xfer_upload_ready);
    TG_RESOLVE(tgputty_xfer_upload_data);
    TG_RESOLVE(tgputty_xfer_download_init);
    TG_RESOLVE(tgputty_xfer_download_preparequeue);
    TG_RESOLVE(tgputty_xfer_download_data);
    TG_RESOLVE(tgputty_xfer_set_error);
    TG_RESOLVE(tgputty_xfer_ensuredone);
    TG_RESOLVE(tgputty_xfer_done);
    TG_RESOLVE(tgputty_xfer_cleanup);
    TG_RESOLVE(tgputty_sfree);
    TG_RESOLVE(tgputty_conf_get_int);
    TG_RESOLVE(tgputty_conf_get_str);
    TG_RESOLVE(tgputty_conf_set_bool);
    TG_RESOLVE(tgputty_conf_set_int);
    TG_RESOLVE(tgputty_conf_set_str);
#undef TG_RESOLVE
    if (!complete) {
        ::dlclose(handle);
        ::close(fd);
        return nullptr;
    }
    // The library stays loaded until the program ends.
    return s_libraries.emplace(path, std::move(lib)).first->second.get();
}

void TGPuttyLibrary::buildConfIndex(const TGPuttyLibrary& lib, char** names, int count) {
    QMutexLocker lock(&s_lock);
    auto& l = const_cast<TGPuttyLibrary&>(lib);
    if (l.confIndexBuilt)
        return;
    for (int i = 0; i < count; ++i)
        if (names && names[i])
            l.confIndex.insert(QString::fromUtf8(names[i]).toLower(), i);
    l.confIndexBuilt = true;
}
