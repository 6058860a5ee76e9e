#pragma once

#include "online/WebServer.h"

#include <QString>
#include <functional>

// The connectivity probe: asks the maker's IP echo page for this machine's public address and
// keeps it for the program run.
class ConnectivityCheck {
public:
    static constexpr const char* kEchoPath = "/myip.php";
    static constexpr const char* kUserAgent = "WebData";

    // The server as the INI file says at the moment of the request.
    explicit ConnectivityCheck(std::function<WebServer()> server);

    // Requests the echo page, stores the address cut out of it (empty on any failure) and
    // returns whether it is not empty. Never throws.
    bool checkinternetconnection();
    const QString& publicAddress() const { return m_publicAddress; }

    // The address in an echo page: after the first "IP", after the next "ADR", up to the next
    // "</"; empty when a marker is missing. Used as it is, without trimming.
    static QString cutPublicAddress(const QString& page);

private:
    std::function<WebServer()> m_server;
    QString m_publicAddress;
};
