#pragma once

#include "cli/CliCommand.h"
#include "settings/BackupJob.h"

// `hostkey NAME [--accept SHA256:…|sha256//…]`: the host key of a job's SFTP server (or the key
// of its FTPS or S3 server's certificate), whether known_hosts (ftps_known_hosts) knows it, and storing
// it when it is the one the administrator was given.
class HostkeyCommand final : public CliCommand {
public:
    QString name() const override { return QStringLiteral("hostkey"); }
    QString summary() const override;
    QString help() const override;
    int run(CliContext& context, const QStringList& arguments) override;

private:
    int ftps(CliContext& context, const BackupJob& job, const QString& accept);
};
