#pragma once

#include <QString>

// Files that hold secrets (the settings file with its stored passwords) are kept from other
// local accounts. On systems without POSIX modes access stays as the folder's rights give it.

// Takes the rights of group and others from an existing file (0644 → 0600); the owner keeps
// no more than read and write. A missing file, one that cannot be opened, or a symbolic link
// (and what it points to) is left alone.
void restrictToOwner(const QString& path);
