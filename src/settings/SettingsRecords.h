#pragma once

#include "settings/BackupJob.h"
#include "settings/GeneralSettings.h"

#include <QList>

class Dataset;

// The one place where backup jobs and general settings are read from and written to their
// datasets. Reading takes the current row; writing needs the dataset in edit or insert.
namespace SettingsRecords {

BackupJob readJob(Dataset& jobs);
void writeJob(Dataset& jobs, const BackupJob& job);
GeneralSettings readGeneral(Dataset& general);
void writeGeneral(Dataset& general, const GeneralSettings& settings);

// Every job in table order, as a backup run takes them: the list is opened when closed, a pending
// edit is stored first (a refused store stays pending, and the move to the first row then throws
// the table's message, which ends the run). Jobs without a database name are left out.
QList<BackupJob> jobsForRun(Dataset& jobs);

// The job the editor shows, with what is being typed stored first where the store works (a
// refused store leaves the typed values, which are then what is read). No row: an empty job.
BackupJob currentJob(Dataset& jobs);
// The general settings; an empty record when the table has no row. Throws ProgramError while
// the settings are not open.
GeneralSettings currentGeneral(Dataset& general);

// Stores a filled-in archive name in the row of the job (found by its database name); throws
// ProgramError when the row is gone or the store is refused.
void storeZipName(Dataset& jobs, const QString& dbName, const QString& zipName);

} // namespace SettingsRecords
