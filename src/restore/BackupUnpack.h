#pragma once

#include "backup/BackupFolders.h"
#include "restore/RestoreFiles.h"

#include <QString>

// Checks a job's archive and unpacks its full and log backup into the backup folder under the
// restore's own names (never over the night's files). Throws ProgramError with the reader's
// message; what it unpacked before a failure is removed again.
class BackupUnpack {
public:
    // `folders.local` must hold room for both files; `targetFolder` (for an unpack by hand)
    // takes the files under their own names instead.
    static UnpackedBackup unpack(const RestoreArchive& archive, const QString& dbName,
                                 const QString& password, const BackupFolders& folders);
    static UnpackedBackup unpackInto(const RestoreArchive& archive, const QString& dbName,
                                     const QString& password, const QString& targetFolder);
    // Removes the unpacked files (not the server's names: they are the same files).
    static void discard(const UnpackedBackup& files);
};
