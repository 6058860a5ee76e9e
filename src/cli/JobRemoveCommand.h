#pragma once

#include "cli/CliCommand.h"

// `job remove NAME`: deletes one job.
class JobRemoveCommand final : public CliCommand {
public:
    QString name() const override { return QStringLiteral("job remove"); }
    QString summary() const override;
    QString help() const override;
    int run(CliContext& context, const QStringList& arguments) override;
};
