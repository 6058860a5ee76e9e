#pragma once

#include "transfer/Destination.h"

#include <QByteArray>
#include <QString>

// Where a job's S3 objects lie, read from its destination: the endpoint (FTP_SERVER, FTP_Port),
// the bucket and the key prefix (FTP_Pfad "bucket/prefix/"), the region (S3_Region; empty: the
// one an AWS host name carries, else us-east-1) and the keys (FTP_Benutzer the access key ID,
// FTP_Passwort the secret key). AWS hosts are addressed virtual-hosted
// (bucket.s3.region.amazonaws.com), every other endpoint path-style (host/bucket/key).
class S3Location {
public:
    // Reads and checks the config; error() tells what is wrong with it.
    explicit S3Location(const DestinationConfig& config);

    // Empty when the config can be used; otherwise one German line naming what is wrong.
    QString error() const { return m_error; }

    QString host() const { return m_host; }
    int port() const { return m_port; }
    QString bucket() const { return m_bucket; }
    QByteArray region() const { return m_region; }
    bool virtualHosted() const { return m_virtualHosted; }
    // "bucket/prefix/name", as the lines name an object.
    QString objectName(const QString& remoteName) const;
    // The object's key: the prefix and the name.
    QString key(const QString& remoteName) const { return m_prefix + remoteName; }
    // The Host header's value.
    QByteArray hostHeader() const;
    // The request path for a key (empty: the bucket itself), percent-encoded.
    QByteArray path(const QString& key) const;
    // "https://host[:port]" + path.
    QByteArray url(const QByteArray& path, const QByteArray& query) const;
    // "host:port", as the lines name the server.
    QString serverName() const;

    // The region an AWS host name carries (s3.eu-central-1.amazonaws.com,
    // s3-eu-west-1.amazonaws.com, s3.dualstack.us-east-2.amazonaws.com); empty for others.
    static QString regionOfAwsHost(const QString& host);
    static bool isAwsHost(const QString& host);

private:
    QString m_error;
    QString m_host;
    int m_port = 443;
    QString m_bucket;
    QString m_prefix;
    QByteArray m_region;
    bool m_virtualHosted = false;
};
