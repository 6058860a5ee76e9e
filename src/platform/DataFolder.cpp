#include "platform/DataFolder.h"

#include <QCoreApplication>
#include <QDir>

#ifndef ORVEL_DATA_FOLDER
#define ORVEL_DATA_FOLDER ""
#endif

namespace {
QString withSlash(QString folder) {
    folder = QDir::cleanPath(folder);
    if (!folder.endsWith(QLatin1Char('/')))
        folder += QLatin1Char('/');
    return folder;
}
} // namespace

namespace DataFolder {

QString programFolder() {
    return withSlash(QCoreApplication::applicationDirPath());
}

QString builtIn() {
    return QStringLiteral(ORVEL_DATA_FOLDER);
}

QString resolve(const QString& programFolder, const QString& builtIn) {
    return withSlash(builtIn.isEmpty() ? programFolder : builtIn);
}

QString current() {
    return resolve(programFolder(), builtIn());
}

bool packageManaged() {
    return !builtIn().isEmpty();
}

} // namespace DataFolder
