#include "platform/ProcessHardening.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLibraryInfo>

#ifdef Q_OS_UNIX
#include <sys/resource.h>
#include <sys/stat.h>
#endif
#ifdef Q_OS_LINUX
#include <sys/prctl.h>
#endif

namespace {

// Qt appends the executable's folder to the plugin folders when the application object is
// made, also after a list was set before it; what it drops then is an entry of the list it had
// found before that the list set leaves out. So the executable's folder is made part of the
// list found (through QT_PLUGIN_PATH, which is read for it) and left out of the list set.
void onlyQtsOwnPlugins() {
    const QString own = QDir(QLibraryInfo::path(QLibraryInfo::PluginsPath)).canonicalPath();
#ifdef Q_OS_LINUX
    const QString executableFolder = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalPath();
    if (!executableFolder.isEmpty())
        qputenv("QT_PLUGIN_PATH", QFile::encodeName(executableFolder));
#endif
    (void)QCoreApplication::libraryPaths();
    qunsetenv("QT_PLUGIN_PATH");
    qunsetenv("QT_QPA_PLATFORM_PLUGIN_PATH");
    QCoreApplication::setLibraryPaths(own.isEmpty() ? QStringList() : QStringList{own});
}

} // namespace

namespace ProcessHardening {

void apply() {
#ifdef Q_OS_UNIX
    ::umask(077);
    const struct rlimit noCore {0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);
#endif
#ifdef Q_OS_LINUX
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
#endif
    onlyQtsOwnPlugins();
}

} // namespace ProcessHardening
