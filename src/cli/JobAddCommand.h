#pragma once

#include "cli/CliCommand.h"

// `job add NAME COLUMN=VALUE…`: a new job with the defaults of the window's new row.
class JobAddCommand final : public CliCommand {
public:
    QString name() const override { return QStringLiteral("job add"); }
    QString summary() const override;
    QString help() const override;
    int run(CliContext& context, const QStringList& arguments) override;
};
