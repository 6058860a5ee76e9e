#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

// The check of a TLS server that may have a certificate of its own making (an FTPS or an S3
// server):
// accepted when an authority of the system vouches for it under the configured host name;
// otherwise its public key must be the one kept for it in ftps_known_hosts, or, when none is
// and someone watches the run, is kept there now. An unattended run keeps no new key: it
// refuses the server and names the command that accepts the key. An authority that vouched once is remembered, and from then on a certificate
// no authority vouches for is refused. A refusal ends the handshake, so the login is never sent.
// One check serves the handshakes of one operation (FTP: the control and the data connections).
struct ServerKeyCheck {
    QString host;
    int port = 0;
    QString keysFolder; // where ftps_known_hosts lies
    // How the lines name the server: "FTPS" gives "FTPS-Server", "S3" gives "S3-Server".
    QString kind = QStringLiteral("FTPS");
    // Someone watches the run (the window on a display): a key no authority vouches for and none
    // is kept for is kept at first use. False: such a key is refused before the login.
    bool attended = false;
    // The job the refusal names in the command that accepts the key.
    QString jobName;
    // Called during the handshake with a line for the log book (a key kept at first use, a
    // marker that could not be written).
    std::function<void(const QString&)> note;

    // Filled by the handshakes:
    QByteArray accepted;           // the key accepted so far (a data connection shows it again)
    bool authorityVouched = false; // an authority vouched for the server
    QString refusal;               // why the server was refused; empty: not refused
    // The refusal was of a new key in an unattended run: every attempt of the run would meet it.
    bool unconfirmedKey = false;

    // Makes the check part of the handshakes of a TLS context (an OpenSSL SSL_CTX).
    void install(void* sslContext);
};
