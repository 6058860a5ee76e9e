#include "platform/FileHints.h"

#include <QFileDevice>

#ifdef Q_OS_LINUX
#include <fcntl.h>
#endif

namespace FileHints {

void readOnceInOrder(const QFileDevice& file) {
#ifdef Q_OS_LINUX
    if (const int fd = file.handle(); fd >= 0)
        (void)posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
#else
    Q_UNUSED(file);
#endif
}

bool startWriteBack(QFileDevice& file) {
    if (!file.flush())
        return false;
#ifdef Q_OS_LINUX
    // Only starts the writing of pages not yet on their way. A failure of that writing is kept
    // for the file's next fsync (DiskSync), which reports it.
    if (const int fd = file.handle(); fd >= 0)
        (void)sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
#endif
    return true;
}

bool WriteBehind::written(qint64 bytes) {
    m_since += bytes;
    if (m_since < every)
        return true;
    m_since = 0;
    return startWriteBack(m_file);
}

} // namespace FileHints
