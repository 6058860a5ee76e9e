#pragma once

#include "cli/CliCommand.h"

// `export [--with-secrets]`: the settings as JSON on standard output.
class ExportCommand final : public CliCommand {
public:
    QString name() const override { return QStringLiteral("export"); }
    QString summary() const override;
    QString help() const override;
    int run(CliContext& context, const QStringList& arguments) override;
};
