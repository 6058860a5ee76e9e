#pragma once

#include "cli/CliCommand.h"

// `general show`: the general settings.
class GeneralShowCommand final : public CliCommand {
public:
    QString name() const override { return QStringLiteral("general show"); }
    QString summary() const override;
    QString help() const override;
    int run(CliContext& context, const QStringList& arguments) override;
};
