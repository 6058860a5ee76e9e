#pragma once

#include "cli/CliCommand.h"

// `version`: the program's name and version.
class VersionCommand final : public CliCommand {
public:
    QString name() const override { return QStringLiteral("version"); }
    QString summary() const override;
    QString help() const override;
    int run(CliContext& context, const QStringList& arguments) override;
};
