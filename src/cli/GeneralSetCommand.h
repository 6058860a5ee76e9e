#pragma once

#include "cli/CliCommand.h"

// `general set COLUMN=VALUE… [--secret COLUMN]…`: changes the general settings.
class GeneralSetCommand final : public CliCommand {
public:
    QString name() const override { return QStringLiteral("general set"); }
    QString summary() const override;
    QString help() const override;
    int run(CliContext& context, const QStringList& arguments) override;
};
