#include "core/InstanceLock.h"

#include <QDir>
#include <QLockFile>

#include <unistd.h>

const QString InstanceLock::programFolderLockName = QStringLiteral("OrvelSQLBackup.lock");

InstanceLock::InstanceLock(const QString& path)
    : m_lock(std::make_unique<QLockFile>(path)), m_path(path) {
    m_lock->setStaleLockTime(0); // a crashed program's lock is stale at once (its pid is gone)
    m_held = m_lock->tryLock(0);
    m_heldByAnother = !m_held && m_lock->error() == QLockFile::LockFailedError;
    if (m_heldByAnother) {
        QString host;
        m_lock->getLockInfo(&m_holderPid, &host, &m_holderName);
    }
}

InstanceLock::~InstanceLock() = default;

QString InstanceLock::perUserPath(const QString& name) {
    // Per user, like a lock local to one logon.
    const QString user = QString::number(static_cast<qulonglong>(::getuid()));
    return QDir::temp().filePath(name + QLatin1Char('-') + user + QStringLiteral(".lock"));
}

QString InstanceLock::programFolderPath(const QString& programFolder) {
    return QDir(programFolder).filePath(programFolderLockName);
}
