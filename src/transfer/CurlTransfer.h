#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// The blocking FTP store of one file with libcurl, free of the log book and the window so it can
// run on a worker thread.
struct CurlStoreRequest {
    QString host;
    int port = 0;
    QString user;
    QString password;
    QString remotePath; // as given, relative to the login folder unless it starts with '/'
    QString localPath;
    bool explicitTls = false;
    bool passive = true;
};

struct CurlStoreResult {
    bool stored = false;   // the store and the size check both held
    bool loggedIn = false; // the server accepted the login
    QString error;         // the client's own message when not stored
};

CurlStoreResult curlStore(const CurlStoreRequest& request);
