#include "core/DayFile.h"

#include "platform/DateText.h"
#include "platform/Encoding.h"

#include <QFile>

bool DayFile::append(const QString& fileName, const QDateTime& at, const QString& entrytext) {
    QFile file(fileName);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return false;
    QString text = DateText::shortDateTime(at) + QLatin1Char(' ') + entrytext;
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    const QByteArray bytes = Encoding::toWindows1252(text) + "\r\n";
    const bool written = file.write(bytes) == bytes.size();
    file.close();
    return written && file.error() == QFileDevice::NoError;
}
