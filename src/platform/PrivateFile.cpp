#include "platform/PrivateFile.h"

#include <QFile>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

void restrictToOwner(const QString& path) {
#ifdef Q_OS_UNIX
    // Through a descriptor, so the mode lands on the file that was checked to be a plain file;
    // a link in its place is not followed (it could point at any file of this account).
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW);
    if (fd < 0)
        return;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0777) != (st.st_mode & 0600))
        ::fchmod(fd, st.st_mode & 0600);
    ::close(fd);
#else
    Q_UNUSED(path);
#endif
}
