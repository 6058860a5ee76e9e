#include "online/UpdateControlFile.h"

#include <QRegularExpression>

std::optional<QList<quint32>> versionNumbers(const QString& version) {
    static const QRegularExpression form(
        QStringLiteral("^(\\d{1,9})\\.(\\d{1,9})\\.(\\d{1,9})\\.(\\d{1,9})$"));
    const QRegularExpressionMatch m = form.match(version);
    if (!m.hasMatch())
        return std::nullopt;
    QList<quint32> numbers;
    for (int i = 1; i <= 4; ++i)
        numbers << m.captured(i).toUInt();
    return numbers;
}

QStringList UpdateControlFile::replaceableFiles() {
    return {QStringLiteral("OrvelSQLBackup"), QStringLiteral("libtgputtylib.so")};
}

namespace {
bool isBareName(const QString& name) {
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..") &&
           !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\')) &&
           !name.contains(QChar(0));
}
} // namespace

std::optional<UpdateControlFile> UpdateControlFile::parse(const QByteArray& text, QString* error) {
    static const QRegularExpression hex8(QStringLiteral("^[0-9A-Fa-f]{8}$"));
    static const QRegularExpression hex64(QStringLiteral("^[0-9A-Fa-f]{64}$"));
    const auto fail = [error](const QString& reason) -> std::optional<UpdateControlFile> {
        if (error)
            *error = QStringLiteral("Steuerdatei ungültig: ") + reason;
        return std::nullopt;
    };

    UpdateControlFile file;
    const QStringList lines = QString::fromUtf8(text).split(QLatin1Char('\n'));
    int number = 0;
    for (const QString& raw : lines) {
        ++number;
        const QString line = raw.trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        const QString key = eq < 0 ? line : line.left(eq).trimmed();
        const QString value = eq < 0 ? QString() : line.mid(eq + 1).trimmed();
        if (key == QLatin1String("Version")) {
            if (!file.version.isEmpty())
                return fail(QStringLiteral("Version doppelt angegeben (Zeile %1)").arg(number));
            if (!versionNumbers(value))
                return fail(QStringLiteral("Version \"%1\" ist keine Programmversion").arg(value));
            file.version = value;
        } else if (key == QLatin1String("File")) {
            const QStringList parts = value.split(QLatin1Char(';'));
            if (parts.size() != 4)
                return fail(QStringLiteral("Dateieintrag ohne vier Teile (Zeile %1)").arg(number));
            Entry entry;
            entry.name = parts[0].trimmed();
            bool sizeOk = false;
            entry.size = parts[1].trimmed().toLongLong(&sizeOk);
            const QString crc = parts[2].trimmed();
            const QString sha = parts[3].trimmed();
            if (!isBareName(entry.name))
                return fail(QStringLiteral("Dateiname \"%1\" ist nicht erlaubt").arg(entry.name));
            if (!replaceableFiles().contains(entry.name))
                return fail(
                    QStringLiteral("die Datei \"%1\" darf ein Update nicht ersetzen, nur %2")
                        .arg(entry.name, replaceableFiles().join(QStringLiteral(" und "))));
            if (!sizeOk || entry.size < 0)
                return fail(QStringLiteral("Größe von %1 ungültig").arg(entry.name));
            if (!hex8.match(crc).hasMatch())
                return fail(QStringLiteral("CRC-32 von %1 ungültig").arg(entry.name));
            if (!hex64.match(sha).hasMatch())
                return fail(QStringLiteral("SHA-256 von %1 ungültig").arg(entry.name));
            for (const Entry& other : std::as_const(file.files))
                if (other.name == entry.name)
                    return fail(QStringLiteral("%1 doppelt aufgeführt").arg(entry.name));
            entry.crc32 = crc.toUInt(nullptr, 16);
            entry.sha256 = sha.toLower().toLatin1();
            file.files << entry;
        } else if (key == QLatin1String("Serial")) {
            static const QRegularExpression digits(QStringLiteral("^[0-9]{1,18}$"));
            if (file.serial != 0)
                return fail(QStringLiteral("Seriennummer doppelt angegeben (Zeile %1)").arg(number));
            if (!digits.match(value).hasMatch() || value.toULongLong() == 0)
                return fail(QStringLiteral("Seriennummer \"%1\" ist keine positive ganze Zahl")
                                .arg(value));
            file.serial = value.toULongLong();
        } else if (key == QLatin1String("Expires")) {
            if (file.expires.isValid())
                return fail(QStringLiteral("Ablaufdatum doppelt angegeben (Zeile %1)").arg(number));
            static const QRegularExpression isoDate(QStringLiteral("^\\d{4}-\\d{2}-\\d{2}$"));
            file.expires = isoDate.match(value).hasMatch()
                               ? QDate::fromString(value, Qt::ISODate)
                               : QDate();
            if (!file.expires.isValid())
                return fail(QStringLiteral("Ablaufdatum \"%1\" ist kein Datum JJJJ-MM-TT")
                                .arg(value));
        } else if (key == QLatin1String("Library")) {
            const QStringList parts = value.split(QLatin1Char(';'));
            if (parts.size() != 3)
                return fail(
                    QStringLiteral("Bibliothekseintrag ohne drei Teile (Zeile %1)").arg(number));
            if (file.library)
                return fail(QStringLiteral("Bibliothek doppelt aufgeführt (Zeile %1)").arg(number));
            LibraryEntry library;
            library.version = parts[0].trimmed();
            bool sizeOk = false;
            library.size = parts[1].trimmed().toLongLong(&sizeOk);
            const QString sha = parts[2].trimmed();
            if (library.version.isEmpty())
                return fail(QStringLiteral("Version der Bibliothek fehlt"));
            if (!sizeOk || library.size <= 0)
                return fail(QStringLiteral("Größe der Bibliothek ungültig"));
            if (!hex64.match(sha).hasMatch())
                return fail(QStringLiteral("SHA-256 der Bibliothek ungültig"));
            library.sha256 = sha.toLower().toLatin1();
            file.library = library;
        } else {
            return fail(QStringLiteral("unbekannte Zeile %1").arg(number));
        }
    }
    if (file.version.isEmpty())
        return fail(QStringLiteral("keine Version angegeben"));
    if (file.serial == 0)
        return fail(QStringLiteral("keine Seriennummer angegeben (Serial=)"));
    if (!file.expires.isValid())
        return fail(QStringLiteral("kein Ablaufdatum angegeben (Expires=)"));
    return file;
}
