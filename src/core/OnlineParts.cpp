#include "core/OnlineParts.h"

#include "platform/VersionInfo.h"

namespace {
std::function<WebServer()> serverOf(const QString& iniPath) {
    // Read at every request: the file is written at start-up, after these parts exist.
    return [iniPath] { return WebServer::fromIni(iniPath); };
}
} // namespace

OnlineParts::OnlineParts(LogSink& log, const QString& programFolder, const QString& iniPath,
                         Windows windows, std::function<void()> endProgram)
    : m_windows(std::move(windows)), m_probe(serverOf(iniPath)),
      m_webUpdate(serverOf(iniPath), programFolder, QStringLiteral(ORVEL_PRODUCT_VERSION)),
      m_programUpdate(log, m_webUpdate, serverOf(iniPath), QStringLiteral(ORVEL_PRODUCT_VERSION),
                      std::move(endProgram)),
      m_supportFiles(serverOf(iniPath), programFolder) {
    m_programUpdate.setWizard(m_windows.wizard);
    m_supportFiles.setDownloadView(m_windows.supportProgress);
}

QString OnlineParts::publicAddress() {
    m_probe.checkinternetconnection();
    return m_probe.publicAddress();
}
