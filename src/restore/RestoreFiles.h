#pragma once

#include <QString>

// Where the archive of a restore comes from.
enum class RestoreFrom {
    Any,    // the program folder, else the copy folder, else the job's destination
    Local,  // the program folder
    Copy,   // the copy folder
    Remote, // the job's destination
};

// The archive a restore reads: a file on this machine, fetched under a temporary name when it
// came from the destination.
struct RestoreArchive {
    QString path;
    QString name;           // the archive's own name, <ZIP name><weekday>.ZIP
    bool temporary = false; // fetched for this restore: removed when it is done
};

// The backup files unpacked for a restore, under names of their own beside the night's, as this
// program and as the SQL Server name them.
struct UnpackedBackup {
    QString fullBackup;
    QString logBackup; // empty: the archive has no log backup
    QString serverFullBackup;
    QString serverLogBackup;
};
