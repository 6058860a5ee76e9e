#pragma once

#include <QString>
#include <functional>

class CliCommand;
class CliContext;
class SettingsSession;

// What several commands share: opening the settings, a change as one transaction, messages.
namespace CommandSupport {

// Opens the settings of the context's program folder; prints why not and returns false.
bool open(CliContext& context, SettingsSession& session);

// Runs `change` on the opened settings as one transaction, refused while the window (or a run)
// holds the program folder. Any refusal is printed and nothing is written; returns the exit code.
int change(CliContext& context, const std::function<void(SettingsSession&)>& change);

// Prints the message and the command's usage; returns the exit code for bad input.
int usageError(CliContext& context, const CliCommand& command, const QString& message);

} // namespace CommandSupport
