#pragma once

#include "cli/CliCommand.h"

// `status`: per job, what the last run left, and the last run's exit code.
class StatusCommand final : public CliCommand {
public:
    QString name() const override { return QStringLiteral("status"); }
    QString summary() const override;
    QString help() const override;
    int run(CliContext& context, const QStringList& arguments) override;
};
