#pragma once

#include <curl/curl.h>

#include <QByteArray>
#include <QString>

struct ServerKeyCheck;

// The time limits of one connection; 0 leaves a limit off (libcurl's default for the first).
struct CurlLimits {
    int connectS = 0; // to open the connection, TLS handshake included
    int stallS = 0;   // no byte in either direction for this long ends the transfer
    int totalS = 0;   // the whole operation
    int replyS = 0;   // FTP: each reply on the control connection
    int acceptMs = 0; // FTP in active mode: the server's data connection
};

// One libcurl easy handle with the rules every connection of the program keeps, set when it is
// made: no signals, no proxy (the environment's http_proxy, https_proxy, ALL_PROXY, ... are
// ignored), TCP keep-alive, libcurl's own message into a buffer. The protocol's options are set
// on get() by the caller; TLS through one of the verify calls.
class CurlEasy {
public:
    CurlEasy();
    ~CurlEasy();
    CurlEasy(const CurlEasy&) = delete;
    CurlEasy& operator=(const CurlEasy&) = delete;

    // False when libcurl could not make the handle; nothing else may be called then.
    bool valid() const { return m_curl != nullptr; }
    CURL* get() const { return m_curl; }

    void limitTo(const CurlLimits& limits);
    // TLS 1.2 or newer, the server's certificate and name verified against the system's
    // authorities plus those of caFile (PEM; empty: the system's only).
    void verifyByAuthorities(const QString& caFile);
    // TLS 1.2 or newer, the server accepted when an authority of the system vouches for its
    // name, or when its key is the one kept for it (kept now at first use); see ServerKeyCheck.
    // check must outlive every perform().
    void verifyByAuthorityOrKey(ServerKeyCheck& check);

    CURLcode perform();
    // libcurl's message for the last perform(), or the code's general text.
    QString errorText(CURLcode code) const;

private:
    CURL* m_curl = nullptr;
    char m_error[CURL_ERROR_SIZE] = {};
    QByteArray m_caFile;
};
