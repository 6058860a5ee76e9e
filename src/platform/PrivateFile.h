#pragma once

#include <QString>

// Files that hold secrets (the settings file with its stored passwords) are kept from other
// local accounts. On systems without POSIX modes these do what they can: create the file, and
// leave access as the folder's rights give it.

// Creates a new, empty file that only its owner may read and write, whatever the umask. False
// when anything is already at the path (a dangling link too) or it cannot be created.
bool createPrivateFile(const QString& path);

// Takes the rights of group and others from an existing file (0644 → 0600); the owner keeps
// no more than read and write. A missing file, one that cannot be opened, or a symbolic link
// (and what it points to) is left alone.
void restrictToOwner(const QString& path);
