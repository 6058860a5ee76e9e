#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>

// The blocking FTP store and removal of one file as FtpUpload calls them: a thin front of
// FtpDestination, kept until the upload goes through Destination itself.
struct CurlStoreRequest {
    QString host;
    int port = 0;
    QString user;
    QString password;
    QString remotePath; // as given, relative to the login folder unless it starts with '/'
    QString localPath;
    bool explicitTls = false;
    bool passive = true;
    // FTPS: the folder of ftps_known_hosts, where the keys of servers that no authority vouches
    // for are kept.
    QString knownHostsFolder;
    // Called on the worker as soon as the server accepts the login.
    std::function<void()> onLoggedIn;
    // Called on the worker with a line for the log book (a server key kept at first use).
    std::function<void(const QString&)> note;
};

struct CurlStoreResult {
    bool stored = false;        // the store and the size check both held
    bool loggedIn = false;      // the server accepted the login
    bool remoteTouched = false; // the server began to take the file under its name
    QString error;              // the client's own message when not stored
};

CurlStoreResult curlStore(const CurlStoreRequest& request);

// Removes the request's remote file on a connection of its own (DELE). Empty when the file is
// gone afterwards (or was never there); otherwise the reason.
QString curlRemove(const CurlStoreRequest& request);
