#pragma once

#include <QDateTime>
#include <QString>

// The day files of the log book: one line appended per entry, opened and closed each time so
// other programs can read the file at any moment. Windows-1252, CR LF.
namespace DayFile {

// Appends "stamp text" to the file; false when it could not be written (the caller stays silent).
// A symbolic link in place of the file or of its folder is not followed: `linkRefused` then gets
// the message that names it. A new day file is the owner's alone (0600).
bool append(const QString& fileName, const QDateTime& at, const QString& entrytext,
            QString* linkRefused = nullptr);

} // namespace DayFile
