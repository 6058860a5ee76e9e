#include "online/ProgramUpdate.h"

#include "online/UpdateWizardView.h"
#include "online/WebUpdate.h"
#include "platform/LogSink.h"

ProgramUpdate::ProgramUpdate(LogSink& log, WebUpdate& update, std::function<WebServer()> server,
                             QString installedVersion, std::function<void()> endProgram)
    : m_log(log), m_update(update), m_server(std::move(server)),
      m_installedVersion(std::move(installedVersion)), m_endProgram(std::move(endProgram)) {
    m_update.onStatus = [this](const QString& text) { logStatus(text); };
}

void ProgramUpdate::logStatus(const QString& statusText) {
    m_log.writelogentry(QStringLiteral("Update-Status: ") + statusText);
}

void ProgramUpdate::checkAutomatically() {
    m_log.writelogentry(QStringLiteral("Prüfe auf Update"));
    // HTTPS like every other request: the answer decides what the program installs.
    m_update.setControlFileUrl(m_server().url(QLatin1String(WebUpdate::kControlPath)));
    const bool newer = m_update.NewVersionAvailable();
    // Without a control file there is nothing to compare: the status lines have said why, and
    // neither "aktuell" nor an installation would be true.
    if (!m_update.controlFileRead())
        return;
    // Only a newer version is offered: the same one is current, and an older one is never
    // installed over this one (the status line has named both).
    if (!newer) {
        m_log.writelogentry(QStringLiteral("Programmversion ist aktuell"));
        return;
    }
    m_log.writelogentry(QStringLiteral("Neue Programmversion steht bereit: ") +
                        m_update.NewVersionInfo);
    m_log.writelogentry(QStringLiteral("Installation wird gestartet"));
    m_update.DoUpdate();
}

void ProgramUpdate::checkByHand() {
    m_update.setControlFileUrl(m_server().url(QLatin1String(WebUpdate::kControlPath)));
    if (m_update.NewVersionAvailable()) {
        m_log.writelogentry(QStringLiteral("newversioninfo:") + m_update.NewVersionInfo);
        m_log.writelogentry(QStringLiteral("curversioninfo:") + m_update.CurVersionInfo);
        if (m_wizard)
            m_wizard->Execute(m_update);
        // The program ends when the wizard closes, whatever happened in it.
        if (m_endProgram)
            m_endProgram();
        return;
    }
    if (m_wizard)
        m_wizard->showMessage(QStringLiteral("Sie haben die aktuellste Version"));
}
