#pragma once

#include "cli/CliCommand.h"

#include <QStringList>
#include <memory>
#include <vector>

class CliContext;

// The commands of the command line program, in the order the program's help lists them, and
// the reading of the command line: global options, the command's name (one or two words), its
// arguments, --help for the program and for each command.
class CommandTable {
public:
    CommandTable();
    ~CommandTable();

    // The command whose name the arguments begin with (the longest that fits); null when none.
    CliCommand* find(const QStringList& arguments, qsizetype& nameWords) const;
    // The program's help: usage, global options and every command with its summary.
    QString help() const;

    // Runs a whole command line (without the program's name); returns the exit code.
    int run(const QStringList& arguments, const QString& defaultProgramFolder);

private:
    std::vector<std::unique_ptr<CliCommand>> m_commands;
};
