#pragma once

#include "cli/CliCommand.h"

// `test-connection NAME`: the connection test of one job's SQL Server.
class TestConnectionCommand final : public CliCommand {
public:
    QString name() const override { return QStringLiteral("test-connection"); }
    QString summary() const override;
    QString help() const override;
    int run(CliContext& context, const QStringList& arguments) override;
};
