#pragma once

#include <QString>

#include <functional>

class Dataset;

// What the settings editor adds to plain editing: the defaults of a new job, the completion of a
// job row and the normalisation of the general settings before they are stored, when general
// settings are stored, and the choice of the copy folder. None of them logs or asks.
namespace EditingRules {

// A new job row has begun: its defaults.
void newJobDefaults(Dataset& jobs);
// FTP_SSL of an S3 destination.
constexpr int S3Protocol = 3;

// A job row is about to be stored: an empty archive name is filled in from the database name
// when the job asks for an archive of its own name; a job switched to S3 with the FTP port 21
// gets 443.
void beforeJobPost(Dataset& jobs);
// The general settings are about to be stored: the sender address lower-cased and trimmed.
void beforeGeneralPost(Dataset& general);
// The focus has left a general-settings edit: a pending change is stored, nothing else.
void storePendingGeneral(Dataset& general);

// Where the folder chooser starts: the stored copy folder, else the program folder.
QString copyFolderStart(Dataset& general, const QString& programFolder);
// The chooser returned `chosen` (empty: cancelled). An existing folder (links followed) becomes
// the copy folder and is stored at once; anything else changes nothing. Throws when the store
// fails (settings not open, row refused).
void setCopyFolder(Dataset& general, const QString& chosen);

// Button4: the chooser opens at copyFolderStart and its choice goes to setCopyFolder.
void chooseCopyFolder(Dataset& general, const QString& programFolder,
                      const std::function<QString(const QString& startFolder)>& choose);

// The job navigator. Delete asks only when there is a row to remove; store and cancel act only on
// a pending change.
void deleteJob(Dataset& jobs, const std::function<bool()>& confirmed);
void storeJob(Dataset& jobs);
void dropJobChanges(Dataset& jobs);

// Installs the rules as the hooks of the two settings datasets.
void install(Dataset& jobs, Dataset& general);

} // namespace EditingRules
