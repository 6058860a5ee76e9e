#pragma once

#include <QString>
#include <optional>

// One Windows-style INI file, read and written a value at a time. Writing changes only the line
// of that value (or adds one), so comments, line ends and the other sections stay as the user or
// another program left them.
class IniFile {
public:
    explicit IniFile(QString path);
    const QString& path() const { return m_path; }

    // The value of `key` in `section`, both matched without regard to case as Windows does;
    // blanks around the value are trimmed. std::nullopt when the file, the section or the key is
    // missing or the file cannot be read.
    std::optional<QString> value(const QString& section, const QString& key) const;

    // Sets key=value in section. Only that one line changes (its key keeps the spelling the file
    // has); a missing key is added at the end of the section's lines, a missing section at the end
    // of the file; a missing file is created. Line ends follow the file (CR LF for a new file).
    // Throws ProgramError with the text "In <path> kann nicht geschrieben werden" when the file
    // cannot be written (a folder in its way, no permission, disk full): nothing half-written is
    // left behind.
    void setValue(const QString& section, const QString& key, const QString& value);

private:
    QString m_path;
};
