#pragma once

#include "cli/CliCommand.h"

// `test-mail`: the report mail, now.
class TestMailCommand final : public CliCommand {
public:
    QString name() const override { return QStringLiteral("test-mail"); }
    QString summary() const override;
    QString help() const override;
    int run(CliContext& context, const QStringList& arguments) override;
};
