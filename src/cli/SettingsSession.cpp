#include "cli/SettingsSession.h"

#include "platform/ProgramError.h"
#include "settings/Dataset.h"
#include "settings/EditingRules.h"
#include "settings/SettingsColumns.h"
#include "settings/SettingsDatabase.h"

#include <QDir>
#include <QFileInfo>

namespace C = SettingsColumns;

SettingsSession::SettingsSession(QString programFolder)
    : m_programFolder(std::move(programFolder)),
      m_db(std::make_unique<SettingsDatabase>(m_log, m_programFolder)) {
    EditingRules::install(m_db->queryDatenbanken, m_db->queryBenutzerdaten);
}

SettingsSession::~SettingsSession() = default;

Dataset& SettingsSession::jobs() {
    return m_db->queryDatenbanken;
}

Dataset& SettingsSession::general() {
    return m_db->queryBenutzerdaten;
}

bool SettingsSession::open(QString& reason) {
    if (!QFileInfo::exists(m_db->databasePath()) && !QFileInfo(m_db->databasePath()).isSymLink())
        SettingsDatabase::CreateAccessDatabase(m_db->databasePath());
    try {
        m_db->checkdatabase();
    } catch (const std::exception& e) {
        m_log.writelogentry(exceptionText(e));
    }
    if (m_db->ADOConnection1.connected() && jobs().isOpen() && general().isOpen())
        return true;
    reason = m_log.lines().join(QLatin1Char('\n'));
    return false;
}

int SettingsSession::jobRow(const QString& name) {
    const int column = jobs().fieldIndex(C::DBName);
    for (int row = 0; row < jobs().recordCount(); ++row)
        if (jobs().rowValue(row, column).toString() == name)
            return row;
    return -1;
}

bool SettingsSession::findJob(const QString& name) {
    const int row = jobRow(name);
    if (row < 0)
        return false;
    jobs().moveTo(row);
    return true;
}
