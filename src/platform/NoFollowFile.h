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

// The message for a folder refused because a link sits in its place; it names the folder.
QString folderRefusal(const QString& folder);

// Opens `file` on `path` as QFile::open would (ReadOnly, WriteOnly, Append, NewOnly,
// ExistingOnly), through a descriptor opened with O_NOFOLLOW; a file it creates is the owner's
// alone (0600). A link at the path fails with refusal(path) in `error`, any other failure with
// the system's text.
bool open(QFile& file, const QString& path, QIODevice::OpenMode mode, QString* error = nullptr);

// Opens `name` in `folder` for appending, creating it (0600) when missing, following a link
// neither in the folder's place nor in the file's: refusal(folder + name) or
// folderRefusal(folder) in `error` then.
bool openAppendIn(QFile& file, const QString& folder, const QString& name,
                  QString* error = nullptr);

// Opens a file someone else may have put there for reading, as it is: a link in its place is
// refused (refusal(path)), and so is anything but a regular file (a folder, a pipe, a device),
// judged by the opened descriptor. Reading `file` then reads what was judged, whatever is
// renamed into the path afterwards.
bool openRegular(QFile& file, const QString& path, QString* error = nullptr);

// Opens a QSaveFile for writing. QSaveFile would write to the target of a link at its path:
// a link there before or after the open fails with refusal(path) in `error`. (A link planted
// later is replaced by the commit's rename, not followed.)
bool openSave(QSaveFile& file, QString* error = nullptr);

} // namespace NoFollowFile
