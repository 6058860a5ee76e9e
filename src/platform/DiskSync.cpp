#include "platform/DiskSync.h"

#include <QFileDevice>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <unistd.h>
#endif

namespace DiskSync {

QString toDisk(QFileDevice& file) {
    if (!file.flush())
        return file.errorString();
#ifdef Q_OS_UNIX
    if (::fsync(file.handle()) != 0)
        return QString::fromLocal8Bit(std::strerror(errno));
#endif
    return {};
}

} // namespace DiskSync
