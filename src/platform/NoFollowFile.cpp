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

QString folderRefusal(const QString& folder) {
    return QStringLiteral("Der Ordner %1 ist eine symbolische Verknüpfung und wird nicht geöffnet")
        .arg(folder);
}

static QString notRegular(const QString& path) {
    return QStringLiteral("Die Datei %1 ist keine gewöhnliche Datei und wird nicht gelesen")
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
    const int fd = ::open(QFile::encodeName(path).constData(), flags, 0600);
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

bool openAppendIn(QFile& file, const QString& folder, const QString& name, QString* error) {
    const auto fail = [error](const QString& text) {
        if (error)
            *error = text;
        return false;
    };
#ifdef Q_OS_UNIX
    // Without its trailing separator: with it, the system would follow a link there whatever
    // O_NOFOLLOW says.
    QString bare = folder;
    while (bare.size() > 1 && bare.endsWith(QLatin1Char('/')))
        bare.chop(1);
    const int dir = ::open(QFile::encodeName(bare).constData(),
                           O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir < 0) {
        const int err = errno;
        if ((err == ELOOP || err == ENOTDIR) && isSymLink(bare))
            return fail(folderRefusal(folder));
        return fail(QString::fromLocal8Bit(std::strerror(err)));
    }
    const int fd = ::openat(dir, QFile::encodeName(name).constData(),
                            O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC,
                            0600);
    const int err = errno;
    ::close(dir);
    if (fd < 0) {
        if (err == ELOOP)
            return fail(refusal(folder + name));
        return fail(QString::fromLocal8Bit(std::strerror(err)));
    }
    if (!file.open(fd, QIODevice::WriteOnly | QIODevice::Append, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return fail(file.errorString());
    }
    return true;
#else
    if (isSymLink(folder.endsWith(QLatin1Char('/')) ? folder.chopped(1) : folder))
        return fail(folderRefusal(folder));
    return open(file, folder + name, QIODevice::WriteOnly | QIODevice::Append, error);
#endif
}

bool openRegular(QFile& file, const QString& path, QString* error) {
    const auto fail = [error](const QString& text) {
        if (error)
            *error = text;
        return false;
    };
#ifdef Q_OS_UNIX
    // O_NONBLOCK: a pipe in the file's place must not hold the open until someone writes to it.
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        if (err == ELOOP || isSymLink(path))
            return fail(refusal(path));
        return fail(QString::fromLocal8Bit(std::strerror(err)));
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return fail(notRegular(path));
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags == -1 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == -1 ||
        !file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return fail(file.errorString());
    }
    return true;
#else
    if (isSymLink(path))
        return fail(refusal(path));
    if (!QFileInfo(path).isFile())
        return fail(notRegular(path));
    file.setFileName(path);
    if (!file.open(QIODevice::ReadOnly))
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
