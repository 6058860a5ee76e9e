#pragma once

#include <QByteArray>
#include <QString>

// What an FTPS server shows of itself before any login: the key of its certificate and whether
// an authority of the system vouches for the certificate under the host name. It connects,
// reads the greeting, asks for TLS (AUTH TLS), makes the handshake and quits; no user name or
// password is sent, nothing is kept.
struct FtpsServerKey {
    QByteArray pin;               // sha256//… as ftps_known_hosts keeps it
    bool authorityVouches = false; // the system's authorities (and caFile) vouch for it
    QString error;                // why nothing was learnt; empty when pin is set
};

FtpsServerKey probeFtpsServer(const QString& host, int port, int timeoutMs = 30000);

// The same of a server that speaks TLS from the first byte (an S3 server over HTTPS): the
// handshake alone, no request sent.
FtpsServerKey probeTlsServer(const QString& host, int port, int timeoutMs = 30000);
