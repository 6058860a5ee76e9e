#pragma once

#include "cli/CliCommand.h"

// `restore JOB [--day 1-7] [--from local|copy|remote] [--as NAME] [--replace] [--test]
// [--unpack-to DIR]`: a job's archive back into a database, as a test, or unpacked by hand.
class RestoreCommand final : public CliCommand {
public:
    QString name() const override { return QStringLiteral("restore"); }
    QString summary() const override;
    QString help() const override;
    int run(CliContext& context, const QStringList& arguments) override;
};
