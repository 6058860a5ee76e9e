#include "online/WebServer.h"

#include "online/WebServerDefault.h"
#include "platform/IniFile.h"

#include <QDir>
#include <QFileInfo>

namespace {
const QString kSection = QStringLiteral("OrvelSQLBackup");
} // namespace

QString WebServer::defaultBase() {
    return QStringLiteral(ORVEL_WEB_SERVER);
}

WebServer WebServer::fromIni(const QString& iniPath) {
    const IniFile ini(iniPath);
    WebServer server;
    server.base = ini.value(kSection, QStringLiteral("WebServer")).value_or(QString());
    if (server.base.isEmpty())
        server.base = defaultBase();
    while (server.base.endsWith(QLatin1Char('/')))
        server.base.chop(1);
    server.caFile = ini.value(kSection, QStringLiteral("WebCAFile")).value_or(QString());
    if (!server.caFile.isEmpty() && QFileInfo(server.caFile).isRelative())
        server.caFile = QFileInfo(iniPath).absoluteDir().absoluteFilePath(server.caFile);
    return server;
}
