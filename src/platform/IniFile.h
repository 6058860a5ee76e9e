#pragma once

#include <QString>
#include <optional>

// Placeholder until the byte-preserving INI writer lands.
class IniFile {
public:
    explicit IniFile(QString path) : m_path(std::move(path)) {}
    const QString& path() const { return m_path; }
    std::optional<QString> value(const QString& section, const QString& key) const;
    void setValue(const QString& section, const QString& key, const QString& value);

private:
    QString m_path;
};
