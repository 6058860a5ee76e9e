#pragma once

#include <QString>
#include <QStringList>

class CliContext;

// One command of the command line program: its name as typed ("job add"), a one-line summary
// for the command list, the text of its --help, and the command itself.
class CliCommand {
public:
    // Exit codes shared by the commands; `run` has the program's own.
    static constexpr int kDone = 0;
    static constexpr int kFailed = 1;  // the command ran and what it tried failed
    static constexpr int kRefused = 2; // bad input or a refused change: nothing was written

    virtual ~CliCommand() = default;
    virtual QString name() const = 0;
    virtual QString summary() const = 0;
    // Usage line(s) and description, in German like the rest of the program.
    virtual QString help() const = 0;
    // The arguments after the command's name; returns the exit code.
    virtual int run(CliContext& context, const QStringList& arguments) = 0;
};
