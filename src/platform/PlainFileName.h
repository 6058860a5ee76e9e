#pragma once

#include <QString>

// Names from the settings that become part of a file path in the program folder (a job's
// database name for its backup files, its archive name) must stay inside that folder.

// False when the name holds a folder separator ('/' or '\'), "..", or a NUL character.
bool isPlainFileName(const QString& name);

// The name as a log line can show it: a NUL character becomes "\0".
QString shownFileName(const QString& name);
