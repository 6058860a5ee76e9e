#pragma once

#include <QString>

#include <sys/types.h>

// A run as root takes its orders from the settings file and the INI file: the SQL Servers, the
// folders it reads and writes (BackupFolder=, the copy folder, MetricsFile=), the servers it
// trusts (WebServer=, WebCAFile=). When another account can change them, that account steers
// root. So root runs only over files and a folder that root alone can change:
//
// - the settings file and the INI file, where they exist, belong to root (a link, and the file
//   it leads to) and no other account may write them (no group or other write bit);
// - the folder that holds them belongs to root and no other account may write it (no group or
//   other write bit, unless the sticky bit keeps others from replacing root's files).
//
// Both the window and the command line ask before they read either file.
namespace RootRunGuard {

// The line that refuses the run, such as "FEHLER: /srv/orvel/OrvelSQLBackup.INI gehört Benutzer
// backup; als root wird nicht gestartet"; empty when the process is not root (euid 0) or root
// alone can change the files. `folder` holds the settings file and the INI file.
QString refusal(const QString& folder);

// The same for a given effective user id.
QString refusal(const QString& folder, uid_t euid);

// The exit code of a refused start.
constexpr int kExitCode = 2;

} // namespace RootRunGuard
