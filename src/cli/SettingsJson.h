#pragma once

#include <QByteArray>
#include <QJsonObject>

class SettingsSession;

// The settings as JSON: {"format": 1, "general": {COLUMN: value, …}, "jobs": [{COLUMN: value,
// …}, …]}, keys exactly the settings file's column names, values of the column's type (text,
// whole number, true/false) or null.
namespace SettingsJson {

constexpr int kFormat = 1;

// Every column of the general settings and of each job, in table order; the password columns
// only when asked for.
QJsonObject write(SettingsSession& session, bool withSecrets);

// What an import changed.
struct ImportCount {
    int added = 0;
    int changed = 0;
    int removed = 0;
};

// Makes the opened settings say what the document says: the general settings' columns it names,
// each job it names added or changed (a column left out keeps its stored value, a new job's
// left-out columns get the new row's defaults), with --prune the jobs it does not name removed.
// The whole document is checked before anything is changed; the caller runs it in one
// transaction. Throws ProgramError naming the place (line and column of a malformed file, or
// the job and column).
ImportCount read(SettingsSession& session, const QByteArray& text, bool prune);

} // namespace SettingsJson
