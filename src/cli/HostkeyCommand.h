#pragma once

#include "cli/CliCommand.h"

// `hostkey NAME [--accept SHA256:…]`: the host key of a job's SFTP server, whether known_hosts
// knows it, and storing it when it is the one the administrator was given.
class HostkeyCommand final : public CliCommand {
public:
    QString name() const override { return QStringLiteral("hostkey"); }
    QString summary() const override;
    QString help() const override;
    int run(CliContext& context, const QStringList& arguments) override;
};
