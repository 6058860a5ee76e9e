#pragma once

#include "restore/RestoreFiles.h"
#include "transfer/Destination.h"

#include <QDate>
#include <QString>

// Finds a job's weekday archive (<ZIP name><1-7>.ZIP) for a restore: the named weekday, or the
// newest of the seven. Throws ProgramError, naming where it looked, when there is none.
class ArchiveLookup {
public:
    // In a folder, by the files' modification times.
    static RestoreArchive inFolder(const QString& folder, const QString& zipName, int weekday);
    // At a destination, by what stat says of the seven names; fetched into `scratchFolder`
    // under a temporary name of its own.
    static RestoreArchive atDestination(Destination& destination, const QString& zipName,
                                        int weekday, const QString& scratchFolder,
                                        DestinationEvents& events, const QDate& today);
    static QString archiveName(const QString& zipName, int weekday);
};
