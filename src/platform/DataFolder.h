#pragma once

#include <QString>

// Where the program keeps what it writes: the settings file, the INI, known_hosts,
// ftps_known_hosts, log/, the run state, and the backup files and archives that default to it.
//
// A build for a package manager names that folder when it is configured (CMake cache variable
// ORVEL_DATA_FOLDER, /var/lib/orvelsqlbackup for the Debian package): the program files then
// stay root's and read-only for the account that runs the program, and the package manager,
// not the program, updates them. Any other build keeps everything beside the executable, in
// the program folder. The window and the command line both ask here.
namespace DataFolder {

// The folder of the executable, links resolved, ending in '/'.
QString programFolder();

// The data folder the build names, as configured; empty when it names none.
QString builtIn();

// The data folder of a program in programFolder when the build names builtIn: builtIn, else
// programFolder; cleaned and ending in '/'.
QString resolve(const QString& programFolder, const QString& builtIn);

// The data folder of this program: resolve(programFolder(), builtIn()).
QString current();

// True when the build names a data folder: the package manager installs and updates the
// program files and the SFTP library, so the program neither updates itself nor downloads the
// library, and loads the library from its own folder.
bool packageManaged();

} // namespace DataFolder
