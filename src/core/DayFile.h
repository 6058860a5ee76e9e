#pragma once

#include <QDateTime>
#include <QString>

// The day files of the log book: one line appended per entry, opened and closed each time so
// other programs can read the file at any moment. Windows-1252, CR LF.
namespace DayFile {

// Appends "stamp text" to the file; false when it could not be written (the caller stays silent).
bool append(const QString& fileName, const QDateTime& at, const QString& entrytext);

} // namespace DayFile
