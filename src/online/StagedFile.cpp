#include "online/StagedFile.h"

#include "platform/DiskSync.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {
QString systemError() {
    return QString::fromLocal8Bit(std::strerror(errno));
}
} // namespace

StagedFile::StagedFile(QString target) : m_target(std::move(target)) {
    m_temp.setFileTemplate(m_target + QStringLiteral(".XXXXXX.part"));
}

QString StagedFile::refusedTarget(const QString& target) {
    struct stat st {};
    if (::lstat(QFile::encodeName(target).constData(), &st) != 0)
        return errno == ENOENT ? QString()
                               : QStringLiteral("Die Datei %1 kann nicht geprüft werden: %2")
                                     .arg(target, systemError());
    if (S_ISLNK(st.st_mode))
        return QStringLiteral("Die Datei %1 ist ein symbolischer Link und wird nicht ersetzt")
            .arg(target);
    if (!S_ISREG(st.st_mode))
        return QStringLiteral("%1 ist keine gewöhnliche Datei und wird nicht ersetzt").arg(target);
    return {};
}

bool StagedFile::open() {
    m_error = refusedTarget(m_target);
    if (!m_error.isEmpty())
        return false;
    // QTemporaryFile creates with O_CREAT | O_EXCL: a name that exists, a link included, is
    // never opened.
    if (m_temp.open())
        return true;
    m_error = QStringLiteral("Die temporäre Datei für %1 kann nicht angelegt werden: %2")
                  .arg(m_target, m_temp.errorString());
    return false;
}

bool StagedFile::finish() {
    if (const QString reason = DiskSync::toDisk(m_temp); !reason.isEmpty()) {
        m_error =
            QStringLiteral("Die Datei %1 kann nicht geschrieben werden: %2").arg(m_target, reason);
        return false;
    }
    struct stat old {};
    const bool hasOld = ::lstat(QFile::encodeName(m_target).constData(), &old) == 0;
    const mode_t mode = hasOld && S_ISREG(old.st_mode) ? (old.st_mode & 0777) : mode_t(0644);
    if (::fchmod(m_temp.handle(), mode) != 0) {
        m_error = QStringLiteral("Die Rechte der Datei %1 können nicht gesetzt werden: %2")
                      .arg(m_target, systemError());
        return false;
    }
    struct stat opened {};
    struct stat named {};
    if (::fstat(m_temp.handle(), &opened) != 0 ||
        ::lstat(QFile::encodeName(tempPath()).constData(), &named) != 0 ||
        opened.st_dev != named.st_dev || opened.st_ino != named.st_ino) {
        m_error = QStringLiteral("Die temporäre Datei %1 wurde ausgetauscht, %2 wird nicht ersetzt")
                      .arg(tempPath(), m_target);
        return false;
    }
    return true;
}

void StagedFile::placed() {
    m_temp.setAutoRemove(false);
    m_temp.close();
}
