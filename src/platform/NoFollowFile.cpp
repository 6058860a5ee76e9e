#include "platform/NoFollowFile.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace NoFollowFile {

bool isSymLink(const QString& path) {
#ifdef Q_OS_UNIX
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 && S_ISLNK(st.st_mode);
#else
    return QFileInfo(path).isSymLink();
#endif
}

QString refusal(const QString& path) {
    return QStringLiteral("Die Datei %1 ist eine symbolische Verknüpfung und wird nicht geöffnet")
        .arg(path);
}

QString removedLink(const QString& path) {
    return QStringLiteral("Symbolische Verknüpfung an Stelle der Datei %1 entfernt, nicht verfolgt")
        .arg(path);
}

bool open(QFile& file, const QString& path, QIODevice::OpenMode mode, QString* error) {
    const auto fail = [error](const QString& text) {
        if (error)
            *error = text;
        return false;
    };
#ifdef Q_OS_UNIX
    const bool reads = mode & QIODevice::ReadOnly;
    const bool writes = mode & (QIODevice::WriteOnly | QIODevice::Append);
    int flags = O_CLOEXEC | O_NOFOLLOW | O_NOCTTY;
    flags |= reads && writes ? O_RDWR : writes ? O_WRONLY : O_RDONLY;
    if (writes && !(mode & QIODevice::ExistingOnly))
        flags |= O_CREAT;
    if (writes && (mode & QIODevice::NewOnly))
        flags |= O_EXCL;
    if (mode & QIODevice::Append)
        flags |= O_APPEND;
    // As QFile: write-only without Append or ReadOnly starts the file anew.
    if ((mode & QIODevice::Truncate) ||
        (writes && !reads && !(mode & (QIODevice::Append | QIODevice::NewOnly))))
        flags |= O_TRUNC;
    const int fd = ::open(QFile::encodeName(path).constData(), flags, 0666);
    if (fd < 0) {
        const int err = errno;
        // ELOOP is what O_NOFOLLOW gives for a link; a link with O_EXCL gives EEXIST.
        if (err == ELOOP || isSymLink(path))
            return fail(refusal(path));
        return fail(QString::fromLocal8Bit(std::strerror(err)));
    }
    if (!file.open(fd, mode & ~(QIODevice::NewOnly | QIODevice::ExistingOnly),
                   QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return fail(file.errorString());
    }
    return true;
#else
    if (isSymLink(path))
        return fail(refusal(path));
    file.setFileName(path);
    if (!file.open(mode))
        return fail(file.errorString());
    return true;
#endif
}

bool openSave(QSaveFile& file, QString* error) {
    const QString path = file.fileName();
    const auto refuse = [&] {
        if (error)
            *error = refusal(path);
        return false;
    };
    if (isSymLink(path))
        return refuse();
    if (!file.open(QIODevice::WriteOnly)) {
        if (error)
            *error = file.errorString();
        return false;
    }
    // QSaveFile decided at open where the data goes: a link planted in between is caught here.
    if (isSymLink(path)) {
        file.cancelWriting();
        return refuse();
    }
    return true;
}

} // namespace NoFollowFile
