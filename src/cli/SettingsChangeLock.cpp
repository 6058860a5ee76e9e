#include "cli/SettingsChangeLock.h"

#include "platform/VersionInfo.h"

SettingsChangeLock::SettingsChangeLock(const QString& programFolder)
    : m_lock(InstanceLock::programFolderPath(programFolder)) {}

QString SettingsChangeLock::refusal() const {
    if (m_lock.held())
        return {};
    if (!m_lock.heldByAnother())
        return QStringLiteral("Nicht geändert: die Sperrdatei %1 kann nicht angelegt werden (ist "
                              "der Programmordner für dieses Konto beschreibbar?)")
            .arg(m_lock.path());
    const QString pid = m_lock.holderPid() > 0
                            ? QStringLiteral(" (Prozess %1)").arg(m_lock.holderPid())
                            : QString();
    if (m_lock.holderName() == QStringLiteral(ORVEL_PRODUCT_NAME))
        return QStringLiteral("Nicht geändert: das Programmfenster ist geöffnet%1. Es hält die "
                              "Einstellungen im Speicher und würde die Änderung überschreiben; "
                              "schließen Sie es und versuchen Sie es erneut.")
            .arg(pid);
    return QStringLiteral("Nicht geändert: eine Sicherung läuft in diesem Programmordner%1; "
                          "versuchen Sie es nach ihrem Ende erneut.")
        .arg(pid);
}
