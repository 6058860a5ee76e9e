#include "platform/PlainFileName.h"

bool isPlainFileName(const QString& name) {
    // Both separators on every system: a settings file travels between Windows and Linux.
    return !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\')) &&
           !name.contains(QLatin1String("..")) && !name.contains(QChar(u'\0'));
}

QString shownFileName(const QString& name) {
    QString shown = name;
    return shown.replace(QChar(u'\0'), QLatin1String("\\0"));
}
