#include "online/ConnectivityCheck.h"

#include "online/HttpsGet.h"
#include "platform/WorkerCall.h"

#include <optional>

ConnectivityCheck::ConnectivityCheck(std::function<WebServer()> server)
    : m_server(std::move(server)) {}

QString ConnectivityCheck::cutPublicAddress(const QString& page) {
    const auto after = [](const QString& text, QLatin1String marker) -> std::optional<QString> {
        const qsizetype at = text.indexOf(marker);
        if (at < 0)
            return std::nullopt;
        return text.mid(at + marker.size());
    };
    const std::optional<QString> afterIp = after(page, QLatin1String("IP"));
    if (!afterIp)
        return {};
    const std::optional<QString> afterAdr = after(*afterIp, QLatin1String("ADR"));
    if (!afterAdr)
        return {};
    const qsizetype end = afterAdr->indexOf(QLatin1String("</"));
    if (end < 0)
        return {};
    return afterAdr->left(end);
}

bool ConnectivityCheck::checkinternetconnection() {
    QString address;
    try {
        const WebServer server = m_server();
        HttpsRequest request;
        request.url = server.url(QLatin1String(kEchoPath));
        request.caFile = server.caFile;
        request.userAgent = kUserAgent;
        request.totalTimeoutS = 30;
        const HttpsResult result = workerCall([&request] { return httpsGet(request); });
        if (result.ok)
            address = cutPublicAddress(QString::fromUtf8(result.body));
    } catch (...) {
        address.clear();
    }
    m_publicAddress = address;
    return !m_publicAddress.isEmpty();
}
