#include "core/DayFile.h"

#include "platform/DateText.h"
#include "platform/Encoding.h"
#include "platform/NoFollowFile.h"

#include <QFile>

bool DayFile::append(const QString& fileName, const QDateTime& at, const QString& entrytext,
                     QString* linkRefused) {
    // Neither the folder nor the file is followed when a link stands in its place.
    const qsizetype slash = fileName.lastIndexOf(QLatin1Char('/'));
    const QString folder = slash < 0 ? QStringLiteral("./") : fileName.left(slash + 1);
    QFile file;
    QString error;
    if (!NoFollowFile::openAppendIn(file, folder, fileName.mid(slash + 1), &error)) {
        if (linkRefused && (error == NoFollowFile::refusal(folder + fileName.mid(slash + 1)) ||
                            error == NoFollowFile::folderRefusal(folder)))
            *linkRefused = error;
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
