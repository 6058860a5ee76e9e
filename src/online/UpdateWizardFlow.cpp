#include "online/UpdateWizardFlow.h"

#include "online/WebUpdate.h"

UpdateWizardFlow::Texts UpdateWizardFlow::texts() const {
    switch (m_page) {
    case Page::Welcome:
        return {QStringLiteral("OrvelUpdate"),
                QStringLiteral("Klicken Sie auf Start, um die Updateprüfung zu beginnen..."),
                QStringLiteral("Start"), true};
    case Page::NewVersion:
        return {QStringLiteral("Eine neuere Version wurde gefunden"),
                QStringLiteral("Eine neue Version ist verfügbar\n\nNeue Version: %1\nIhre "
                               "Version: %2")
                    .arg(m_update.NewVersionInfo, m_update.CurVersionInfo),
                QStringLiteral("Weiter"), true};
    case Page::NoNewVersion:
        return {QStringLiteral("Keine neue Version ist verfügbar"),
                QStringLiteral("Es ist kein Update auf dem Server vorhanden...\n\nIhre Version: ") +
                    m_update.CurVersionInfo,
                QStringLiteral("Schließen"), false};
    case Page::NoConnection:
        return {QStringLiteral("Keine neue Version ist verfügbar"),
                QStringLiteral("Die Verbindung zum Server konnte nicht hergestellt werden"),
                QStringLiteral("Schließen"), false};
    case Page::Downloading:
        return {QStringLiteral("Lade Dateien"), QString(), QStringLiteral("Weiter"), true};
    case Page::Failed:
        return {QStringLiteral("Das Herunterladen von Updates ist fehlgeschlagen"),
                m_noFiles ? QStringLiteral("Auf dem Server wurden keine Dateien gefunden")
                          : QString(),
                QStringLiteral("Schließen"), false};
    case Page::Complete:
        return {QStringLiteral("Das Herunterladen von Updates ist komplett abgeschlossen!"),
                QString(), QStringLiteral("Weiter"), true};
    case Page::Restart:
        return {QStringLiteral("OrvelUpdate"),
                QStringLiteral("Bestätigen Sie den Neustart,\num das Updateprogramm zu starten."),
                QStringLiteral("Neu starten"), false};
    case Page::Closed:
        break;
    }
    return {};
}

void UpdateWizardFlow::advance() {
    step();
    if (m_cancelled)
        m_page = Page::Closed;
}

void UpdateWizardFlow::step() {
    switch (m_page) {
    case Page::Welcome:
        if (m_update.NewVersionAvailable())
            m_page = Page::NewVersion;
        else
            m_page = m_update.controlFileRead() ? Page::NoNewVersion : Page::NoConnection;
        return;
    case Page::NewVersion:
        m_page = Page::Downloading;
        return;
    case Page::Downloading:
        if (m_update.DoUpdate()) {
            m_page = Page::Complete;
        } else {
            m_noFiles = m_update.noFilesOffered();
            m_page = Page::Failed;
        }
        return;
    case Page::Complete:
        m_page = Page::Restart;
        return;
    case Page::NoNewVersion:
    case Page::NoConnection:
    case Page::Failed:
    case Page::Restart:
    case Page::Closed:
        m_page = Page::Closed;
        return;
    }
}
