#pragma once

#include <QString>

// Names from the settings that become part of a file path in the program folder (a job's
// database name for its backup files, its archive name) must stay inside that folder.

// False when the name holds a folder separator ('/' or '\'), "..", or a control character (NUL,
// CR, LF, any other C0 or C1 control, DEL, the line and paragraph separators): a name is also
// written into log lines, where a line feed could add a line of its own making.
bool isPlainFileName(const QString& name);

// The name as a log line can show it, on one line: NUL, LF, CR and tab become "\0", "\n", "\r"
// and "\t", any other control character "\uXXXX".
QString shownFileName(const QString& name);
