#pragma once

#include "cli/CliCommand.h"

// `run [nozip]`: the automatic run as the program makes it, without countdown and window.
class RunCommand final : public CliCommand {
public:
    QString name() const override { return QStringLiteral("run"); }
    QString summary() const override;
    QString help() const override;
    int run(CliContext& context, const QStringList& arguments) override;
};
