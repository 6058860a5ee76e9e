#include "core/RootRunGuard.h"

#include "core/ProgramCore.h"
#include "settings/SettingsDatabase.h"

#include <QDir>
#include <QFile>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace {

// The account's name; its number when the system knows no name for it.
QString accountName(uid_t uid) {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_name)
        return QString::fromLocal8Bit(found->pw_name);
    return QString::number(uid);
}

QString ownedByAnother(const QString& path, uid_t owner) {
    return QStringLiteral("FEHLER: %1 gehört Benutzer %2; als root wird nicht gestartet")
        .arg(path, accountName(owner));
}

QString writableByOthers(const QString& path) {
    return QStringLiteral("FEHLER: %1 ist für andere Benutzer beschreibbar; als root wird nicht "
                          "gestartet")
        .arg(path);
}

// Why root may not take orders from the file or folder at `path`; empty when it may (or when
// there is nothing there).
QString check(const QString& path, bool folder) {
    const QByteArray name = QFile::encodeName(path);
    struct stat link {};
    if (::lstat(name.constData(), &link) != 0)
        return QString();
    if (link.st_uid != 0)
        return ownedByAnother(path, link.st_uid);
    struct stat target {};
    if (S_ISLNK(link.st_mode) && ::stat(name.constData(), &target) != 0)
        return QString(); // a link to nothing: the program finds no file there
    if (!S_ISLNK(link.st_mode))
        target = link;
    if (target.st_uid != 0)
        return ownedByAnother(path, target.st_uid);
    const bool othersWrite = (target.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    // In a folder with the sticky bit others may add files but not replace or remove root's.
    if (othersWrite && !(folder && (target.st_mode & S_ISVTX)))
        return writableByOthers(path);
    return QString();
}

} // namespace

QString RootRunGuard::refusal(const QString& folder) {
    return refusal(folder, ::geteuid());
}

QString RootRunGuard::refusal(const QString& folder, uid_t euid) {
    if (euid != 0)
        return QString();
    const QString clean = QDir::cleanPath(folder);
    QString why = check(clean, true);
    for (const QString& file : {SettingsDatabase::fileName, ProgramCore::kIniFileName})
        if (why.isEmpty())
            why = check(clean + QLatin1Char('/') + file, false);
    return why;
}
