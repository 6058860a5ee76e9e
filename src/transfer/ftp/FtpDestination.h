#pragma once

#include "transfer/Destination.h"

// FTP and FTP with explicit TLS (interim: store and remove over the curl functions).
class FtpDestination final : public Destination {
public:
    explicit FtpDestination(DestinationConfig config) : m_config(std::move(config)) {}
    DestinationProperties properties() const override { return {}; }
    StoreResult store(const QString& localPath, const QString& remoteName,
                      DestinationEvents& events) override;
    FetchResult fetch(const QString&, const QString&, DestinationEvents&) override { return {}; }
    FetchResult fetchInto(const QString&, QIODevice&, DestinationEvents&) override { return {}; }
    StatResult stat(const QString&, DestinationEvents&) override { return {}; }
    RemoveResult remove(const QString& remoteName, DestinationEvents& events) override;

private:
    DestinationConfig m_config;
};
