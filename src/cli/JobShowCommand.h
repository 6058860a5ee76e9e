#pragma once

#include "cli/CliCommand.h"

// `job show NAME`: every column of one job, passwords only as whether one is stored.
class JobShowCommand final : public CliCommand {
public:
    QString name() const override { return QStringLiteral("job show"); }
    QString summary() const override;
    QString help() const override;
    int run(CliContext& context, const QStringList& arguments) override;
};
