#pragma once

#include <QDir>
#include <QTemporaryDir>

// A fresh folder for one test, given as a program folder path (trailing '/').
class TempFolder {
public:
    TempFolder() { m_dir.setAutoRemove(true); }
    QString path() const { return QDir(m_dir.path()).absolutePath() + QLatin1Char('/'); }
    QString file(const QString& name) const { return path() + name; }

private:
    QTemporaryDir m_dir;
};
