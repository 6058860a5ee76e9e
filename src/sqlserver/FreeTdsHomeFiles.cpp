#include "sqlserver/FreeTdsHomeFiles.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace FreeTdsHomeFiles {

QString homeFolder() {
    std::vector<char> buffer(16384);
    passwd entry {};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found ||
        !found->pw_dir || !*found->pw_dir)
        return {};
    QString home = QFile::decodeName(found->pw_dir);
    if (!home.endsWith(QLatin1Char('/')))
        home += QLatin1Char('/');
    return home;
}

QString refusal(const QString& home) {
    if (home.isEmpty())
        return {};
    for (const char* name : {".freetds.conf", ".interfaces"}) {
        const QString path = home + QLatin1String(name);
        struct stat st {};
        QString reason;
        if (::lstat(QFile::encodeName(path).constData(), &st) != 0) {
            if (errno == ENOENT || errno == ENOTDIR)
                continue;
            reason = QString::fromLocal8Bit(std::strerror(errno));
        } else if (S_ISLNK(st.st_mode)) {
            reason = QStringLiteral("eine symbolische Verknüpfung");
        } else if (!S_ISREG(st.st_mode)) {
            reason = QStringLiteral("keine gewöhnliche Datei");
        } else if (st.st_uid != ::getuid() && st.st_uid != 0) {
            reason = QStringLiteral("gehört einem anderen Benutzer");
        } else if (st.st_mode & (S_IWGRP | S_IWOTH)) {
            reason = QStringLiteral("für andere Benutzer beschreibbar");
        } else {
            continue;
        }
        return QStringLiteral("Die FreeTDS-Konfiguration %1 wird nicht gelesen (%2); keine "
                              "Verbindung zum SQL Server")
            .arg(path, reason);
    }
    return {};
}

} // namespace FreeTdsHomeFiles
