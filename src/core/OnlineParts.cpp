#include "core/OnlineParts.h"

#include "online/UpdateWizardView.h"
#include "platform/LogSink.h"
#include "platform/VersionInfo.h"

namespace {
std::function<WebServer()> serverOf(const QString& iniPath) {
    // Read at every request: the file is written at start-up, after these parts exist.
    return [iniPath] { return WebServer::fromIni(iniPath); };
}
} // namespace

OnlineParts::OnlineParts(LogSink& log, const QString& programFolder, const QString& iniPath,
                         Windows windows, std::function<void()> endProgram, bool packageManaged)
    : m_log(log), m_packageManaged(packageManaged), m_windows(std::move(windows)),
      m_probe(serverOf(iniPath)),
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

void OnlineParts::checkAutomatically() {
    if (m_packageManaged) {
        m_log.writelogentry(QStringLiteral("Update-Status: ") +
                            QString::fromUtf8(kPackageManagedStatus));
        return;
    }
    m_programUpdate.checkAutomatically();
}

void OnlineParts::checkByHand() {
    if (m_packageManaged) {
        m_log.writelogentry(QStringLiteral("Update-Status: ") +
                            QString::fromUtf8(kPackageManagedStatus));
        if (m_windows.wizard)
            m_windows.wizard->showMessage(QString::fromUtf8(kPackageManagedStatus));
        return;
    }
    m_programUpdate.checkByHand();
}

void OnlineParts::fetchMissing() {
    // The package brings the SFTP library; its folder is not the program's to write.
    if (m_packageManaged)
        return;
    m_supportFiles.Berichtsvorlagencheck();
}
