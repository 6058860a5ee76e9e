#include "core/DayFile.h"

#include "platform/DateText.h"
#include "platform/Encoding.h"
#include "platform/NoFollowFile.h"

#include <QFile>

bool DayFile::append(const QString& fileName, const QDateTime& at, const QString& entrytext,
                     QString* linkRefused) {
    QFile file;
    if (!NoFollowFile::open(file, fileName, QIODevice::WriteOnly | QIODevice::Append)) {
        if (linkRefused && NoFollowFile::isSymLink(fileName))
            *linkRefused = NoFollowFile::refusal(fileName);
        return false;
    }
    QString text = DateText::shortDateTime(at) + QLatin1Char(' ') + entrytext;
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    const QByteArray bytes = Encoding::toWindows1252(text) + "\r\n";
    const bool written = file.write(bytes) == bytes.size();
    file.close();
    return written && file.error() == QFileDevice::NoError;
}
