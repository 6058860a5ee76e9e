#include "online/StagedFile.h"

#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstring>

StagedFile::StagedFile(QString target) : m_target(std::move(target)) {
    m_temp.setFileTemplate(m_target + QStringLiteral(".XXXXXX.part"));
}

bool StagedFile::open() {
    if (m_temp.open())
        return true;
    m_error = QStringLiteral("Die temporäre Datei für %1 kann nicht angelegt werden: %2")
                  .arg(m_target, m_temp.errorString());
    return false;
}

bool StagedFile::commit() {
    if (!m_temp.flush()) {
        m_error = QStringLiteral("Die Datei %1 kann nicht geschrieben werden: %2")
                      .arg(m_target, m_temp.errorString());
        return false;
    }
    const QFileInfo old(m_target);
    const QFileDevice::Permissions permissions =
        old.exists() ? old.permissions()
                     : QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser |
                           QFileDevice::WriteUser | QFileDevice::ReadGroup | QFileDevice::ReadOther;
    m_temp.setPermissions(permissions);
    const QString temp = m_temp.fileName();
    m_temp.close();
    // rename() replaces the target in one step: a reader sees the old file or the new one.
    if (std::rename(QFile::encodeName(temp).constData(), QFile::encodeName(m_target).constData()) !=
        0) {
        m_error = QStringLiteral("Die Datei %1 kann nicht ersetzt werden: %2")
                      .arg(m_target, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    m_temp.setAutoRemove(false);
    return true;
}
