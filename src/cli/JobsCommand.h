#pragma once

#include "cli/CliCommand.h"

// `jobs`: the backup jobs as a table: name, server, archive name, upload protocol and target.
class JobsCommand final : public CliCommand {
public:
    QString name() const override { return QStringLiteral("jobs"); }
    QString summary() const override;
    QString help() const override;
    int run(CliContext& context, const QStringList& arguments) override;
};
