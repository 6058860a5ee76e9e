#pragma once

#include "cli/CliCommand.h"

// `job set NAME COLUMN=VALUE… [--secret COLUMN]…`: changes columns of one job.
class JobSetCommand final : public CliCommand {
public:
    QString name() const override { return QStringLiteral("job set"); }
    QString summary() const override;
    QString help() const override;
    int run(CliContext& context, const QStringList& arguments) override;
};
