#pragma once

#include <QIODevice>
#include <QString>

class QFile;
class QSaveFile;

// The program folder may be writable by another account (the SQL Server service writes its
// backups there). A symbolic link planted in place of one of our files must not make us write
// where it points: these open a file without following a link in the last part of its path.
namespace NoFollowFile {

// True when a symbolic link (dangling or not) sits at the path itself.
bool isSymLink(const QString& path);

// The message for a file refused because a link sits in its place; it names the file.
QString refusal(const QString& path);

// The line for a link found in place of a file the program replaces: the link itself was removed,
// what it points to left alone.
QString removedLink(const QString& path);

// Opens `file` on `path` as QFile::open would (ReadOnly, WriteOnly, Append, NewOnly,
// ExistingOnly), through a descriptor opened with O_NOFOLLOW. A link at the path fails with
// refusal(path) in `error`, any other failure with the system's text.
bool open(QFile& file, const QString& path, QIODevice::OpenMode mode, QString* error = nullptr);

// Opens a QSaveFile for writing. QSaveFile would write to the target of a link at its path:
// a link there before or after the open fails with refusal(path) in `error`. (A link planted
// later is replaced by the commit's rename, not followed.)
bool openSave(QSaveFile& file, QString* error = nullptr);

} // namespace NoFollowFile
