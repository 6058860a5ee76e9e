#include "transfer/ftp/CurlTransfer.h"

#include "transfer/ftp/FtpDestination.h"

namespace {

DestinationConfig configFor(const CurlStoreRequest& request) {
    DestinationConfig config;
    config.protocol = request.explicitTls ? 1 : 0;
    config.host = request.host;
    config.port = request.port;
    config.user = request.user;
    config.password = request.password;
    config.passive = request.passive;
    config.keysFolder = request.knownHostsFolder;
    return config; // no prefix: the request's remote path is the whole path
}

// The request's callbacks as destination events.
class RequestEvents final : public DestinationEvents {
public:
    explicit RequestEvents(const CurlStoreRequest& request, bool reportLogin)
        : m_request(request), m_reportLogin(reportLogin) {}
    void line(const QString& text) override {
        if (m_request.note)
            m_request.note(text);
    }
    void loggedIn() override {
        m_loggedIn = true;
        if (m_reportLogin && m_request.onLoggedIn)
            m_request.onLoggedIn();
    }
    bool wasLoggedIn() const { return m_loggedIn; }

private:
    const CurlStoreRequest& m_request;
    bool m_reportLogin;
    bool m_loggedIn = false;
};

} // namespace

CurlStoreResult curlStore(const CurlStoreRequest& request) {
    RequestEvents events(request, true);
    const StoreResult stored =
        FtpDestination(configFor(request)).store(request.localPath, request.remotePath, events);
    CurlStoreResult result;
    result.stored = stored.stored;
    result.loggedIn = events.wasLoggedIn();
    result.remoteTouched = stored.remoteTouched;
    result.error = stored.error;
    return result;
}

QString curlRemove(const CurlStoreRequest& request) {
    RequestEvents events(request, false); // no login line for this connection
    return FtpDestination(configFor(request)).remove(request.remotePath, events).error;
}
