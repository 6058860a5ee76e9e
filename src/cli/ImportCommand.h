#pragma once

#include "cli/CliCommand.h"

// `import [--prune] FILE|-`: the settings made to say what a JSON file says, all or nothing.
class ImportCommand final : public CliCommand {
public:
    QString name() const override { return QStringLiteral("import"); }
    QString summary() const override;
    QString help() const override;
    int run(CliContext& context, const QStringList& arguments) override;
};
