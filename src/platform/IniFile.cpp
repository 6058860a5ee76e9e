#include "platform/IniFile.h"

#include "platform/Encoding.h"
#include "platform/NoFollowFile.h"
#include "platform/ProgramError.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QVector>

namespace {

const QByteArray kUtf8Bom = QByteArrayLiteral("\xEF\xBB\xBF");

// One line of the file as offsets into its bytes: [begin, contentEnd) is the text,
// [contentEnd, end) its line end (empty for a last line without one).
struct Line {
    qsizetype begin = 0;
    qsizetype contentEnd = 0;
    qsizetype end = 0;
};

// The file's bytes split into lines. A UTF-8 byte order mark is not part of the first line.
struct Text {
    QByteArray bytes;
    bool utf8 = false;
    QVector<Line> lines;
    QByteArray lineEnd = QByteArrayLiteral("\r\n"); // the file's own, from its first line

    explicit Text(QByteArray content) : bytes(std::move(content)) {
        qsizetype pos = 0;
        if (bytes.startsWith(kUtf8Bom)) {
            utf8 = true;
            pos = kUtf8Bom.size();
        }
        bool firstEnd = true;
        while (pos < bytes.size()) {
            const qsizetype newline = bytes.indexOf('\n', pos);
            Line line;
            line.begin = pos;
            if (newline < 0) {
                line.contentEnd = line.end = bytes.size();
            } else {
                line.end = newline + 1;
                line.contentEnd =
                    newline > pos && bytes[newline - 1] == '\r' ? newline - 1 : newline;
                if (firstEnd)
                    lineEnd = bytes.mid(line.contentEnd, line.end - line.contentEnd);
                firstEnd = false;
            }
            lines.append(line);
            pos = line.end;
        }
    }

    QByteArray content(const Line& line) const {
        return bytes.mid(line.begin, line.contentEnd - line.begin);
    }

    QByteArray encode(const QString& text) const {
        return utf8 ? text.toUtf8() : Encoding::toWindows1252(text);
    }
    QString decode(const QByteArray& raw) const {
        return utf8 ? QString::fromUtf8(raw) : Encoding::fromWindows1252(raw);
    }
};

bool isComment(const QByteArray& trimmed) {
    return trimmed.startsWith(';') || trimmed.startsWith('#');
}

// The name of a "[name]" line, or nullopt for any other line.
std::optional<QByteArray> sectionName(const QByteArray& content) {
    const QByteArray trimmed = content.trimmed();
    if (!trimmed.startsWith('['))
        return std::nullopt;
    const qsizetype close = trimmed.indexOf(']');
    if (close < 0)
        return std::nullopt;
    return trimmed.mid(1, close - 1).trimmed();
}

bool sameName(const QByteArray& a, const QString& b) {
    return a.compare(b.trimmed().toLatin1(), Qt::CaseInsensitive) == 0;
}

// Where a key and its section sit in the file: the lines of the section's body
// [bodyBegin, bodyEnd) and the key's line; -1 for what is missing.
struct Place {
    int header = -1;
    int bodyBegin = -1;
    int bodyEnd = -1;
    int keyLine = -1;
    qsizetype equals = -1; // offset of the key line's '='
};

Place find(const Text& text, const QString& section, const QString& key) {
    Place place;
    for (int i = 0; i < text.lines.size(); ++i) {
        const std::optional<QByteArray> name = sectionName(text.content(text.lines[i]));
        if (!name)
            continue;
        if (place.header >= 0) {
            place.bodyEnd = i;
            break;
        }
        // A second section of the same name is ignored, as Windows does.
        if (sameName(*name, section)) {
            place.header = i;
            place.bodyBegin = i + 1;
            place.bodyEnd = int(text.lines.size());
        }
    }
    if (place.header < 0)
        return place;
    for (int i = place.bodyBegin; i < place.bodyEnd; ++i) {
        const QByteArray content = text.content(text.lines[i]);
        if (isComment(content.trimmed()))
            continue;
        const qsizetype equals = content.indexOf('=');
        if (equals >= 0 && sameName(content.left(equals).trimmed(), key)) {
            place.keyLine = i;
            place.equals = text.lines[i].begin + equals;
            return place;
        }
    }
    return place;
}

// Reads the whole file; nullopt when it cannot be read. A missing file reads as empty when
// `missingIsEmpty`.
std::optional<QByteArray> readFile(const QString& path, bool missingIsEmpty) {
    QFile file(path);
    if (!file.exists())
        return missingIsEmpty ? std::optional<QByteArray>(QByteArray()) : std::nullopt;
    if (QFileInfo(path).isDir() || !file.open(QIODevice::ReadOnly))
        return std::nullopt;
    QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return std::nullopt;
    return bytes;
}

} // namespace

IniFile::IniFile(QString path) : m_path(std::move(path)) {}

std::optional<QString> IniFile::value(const QString& section, const QString& key) const {
    std::optional<QByteArray> bytes = readFile(m_path, false);
    if (!bytes)
        return std::nullopt;
    const Text text(std::move(*bytes));
    const Place place = find(text, section, key);
    if (place.keyLine < 0)
        return std::nullopt;
    const Line& line = text.lines[place.keyLine];
    return text.decode(
        text.bytes.mid(place.equals + 1, line.contentEnd - place.equals - 1).trimmed());
}

void IniFile::setValue(const QString& section, const QString& key, const QString& value) {
    const ProgramError failure(QStringLiteral("In %1 kann nicht geschrieben werden").arg(m_path));
    std::optional<QByteArray> bytes = readFile(m_path, true);
    if (!bytes)
        throw failure;
    const Text text(std::move(*bytes));
    // A line break in the value would end the line and turn the rest into a line of its own.
    QString flat = value;
    flat.replace(QLatin1Char('\r'), QLatin1Char(' ')).replace(QLatin1Char('\n'), QLatin1Char(' '));
    const QByteArray newValue = text.encode(flat.trimmed());

    const Place place = find(text, section, key);
    QByteArray out = text.bytes;
    if (place.keyLine >= 0) {
        // Keep the key as spelt and the blanks after '='; replace the rest of the line's text.
        const Line& line = text.lines[place.keyLine];
        qsizetype valueBegin = place.equals + 1;
        while (valueBegin < line.contentEnd && (out[valueBegin] == ' ' || out[valueBegin] == '\t'))
            ++valueBegin;
        out.replace(valueBegin, line.contentEnd - valueBegin, newValue);
    } else {
        QByteArray added;
        qsizetype at = out.size();
        if (place.header >= 0) {
            // After the section's last entry, so that blank lines and comments that lead to
            // the next section stay in front of it.
            int last = place.header;
            for (int i = place.bodyBegin; i < place.bodyEnd; ++i) {
                const QByteArray trimmed = text.content(text.lines[i]).trimmed();
                if (!trimmed.isEmpty() && !isComment(trimmed))
                    last = i;
            }
            at = text.lines[last].end;
        } else {
            added = QByteArrayLiteral("[") + section.trimmed().toLatin1() + "]" + text.lineEnd;
        }
        added += key.trimmed().toLatin1() + "=" + newValue + text.lineEnd;
        // A last line without a line end gets one before what follows it.
        if (at == out.size() && !text.lines.isEmpty() &&
            text.lines.last().contentEnd == text.lines.last().end)
            added.prepend(text.lineEnd);
        out.insert(at, added);
    }

    // QSaveFile writes beside the file and renames on commit: a failure leaves the old file
    // whole, and an existing file keeps its permissions.
    // A symbolic link in the INI file's place is not written through.
    QSaveFile file(m_path);
    if (!NoFollowFile::openSave(file) || file.write(out) != out.size() || !file.commit())
        throw failure;
}
