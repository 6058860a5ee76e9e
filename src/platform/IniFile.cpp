#include "platform/IniFile.h"

#include "platform/ProgramError.h"

#include <QFile>

std::optional<QString> IniFile::value(const QString& section, const QString& key) const {
    QFile f(m_path);
    if (!f.open(QIODevice::ReadOnly))
        return std::nullopt;
    bool in = false;
    for (const QByteArray& raw : f.readAll().split('\n')) {
        const QString line = QString::fromLatin1(raw).trimmed();
        if (line.startsWith(QLatin1Char('[')))
            in = line.mid(1, line.indexOf(QLatin1Char(']')) - 1).compare(section, Qt::CaseInsensitive) == 0;
        else if (in && line.section(QLatin1Char('='), 0, 0).trimmed().compare(key, Qt::CaseInsensitive) == 0)
            return line.section(QLatin1Char('='), 1).trimmed();
    }
    return std::nullopt;
}

void IniFile::setValue(const QString& section, const QString& key, const QString& value) {
    QFile f(m_path);
    if (!f.open(QIODevice::WriteOnly))
        throw ProgramError(QStringLiteral("In %1 kann nicht geschrieben werden").arg(m_path));
    f.write(QStringLiteral("[%1]\r\n%2=%3\r\n").arg(section, key, value).toLatin1());
}
