#include "transfer/ftp/FtpDestination.h"

#include "transfer/ftp/CurlTransfer.h"

namespace {
CurlStoreRequest requestFor(const DestinationConfig& c, const QString& remoteName) {
    CurlStoreRequest r;
    r.host = c.host;
    r.port = c.port;
    r.user = c.user;
    r.password = c.password;
    r.remotePath = c.pathPrefix + remoteName;
    r.explicitTls = c.protocol == DestinationConfig::Ftps;
    r.passive = c.passive;
    r.knownHostsFolder = c.keysFolder;
    return r;
}
} // namespace

StoreResult FtpDestination::store(const QString& localPath, const QString& remoteName,
                                  DestinationEvents& events) {
    CurlStoreRequest r = requestFor(m_config, remoteName);
    r.localPath = localPath;
    r.onLoggedIn = [&events] { events.loggedIn(); };
    r.note = [&events](const QString& line) { events.line(line); };
    const CurlStoreResult c = curlStore(r);
    StoreResult s;
    s.stored = c.stored;
    s.remoteTouched = c.remoteTouched;
    s.error = c.error;
    return s;
}

RemoveResult FtpDestination::remove(const QString& remoteName, DestinationEvents&) {
    RemoveResult result;
    result.error = curlRemove(requestFor(m_config, remoteName));
    result.removed = result.error.isEmpty();
    return result;
}
