#include "settings/SqlValue.h"

#include "platform/ProgramError.h"

#include <QRegularExpression>
#include <cmath>
#include <limits>

namespace SqlValue {

namespace {

bool containsAny(const QString& text, std::initializer_list<const char*> words) {
    for (const char* word : words)
        if (text.contains(QLatin1String(word)))
            return true;
    return false;
}

// INTEGER is a 32-bit column; larger numbers are kept as they are.
QVariant integerValue(qlonglong n) {
    if (n >= std::numeric_limits<int>::min() && n <= std::numeric_limits<int>::max())
        return QVariant(int(n));
    return QVariant(n);
}

ProgramError notValid(const QVariant& value, const FieldDef& def, const char* what) {
    return ProgramError(QStringLiteral("'%1' ist kein gültiger %2 für das Feld '%3'")
                            .arg(value.toString(), QLatin1String(what), def.name));
}

} // namespace

void classify(FieldDef& def) {
    const QString type = def.declaredType.toUpper();
    if (containsAny(type, {"BIT", "BOOL", "YESNO", "LOGICAL"}))
        def.type = FieldType::Boolean;
    else if (containsAny(type, {"CHAR", "TEXT", "MEMO", "CLOB", "STRING"}))
        def.type = FieldType::Text;
    else if (containsAny(type, {"DATE", "TIME"}))
        def.type = FieldType::DateTime;
    else if (containsAny(type, {"INT", "COUNTER", "LONG", "SHORT", "BYTE"}))
        def.type = FieldType::Integer;
    else
        def.type = FieldType::Other;

    def.size = 0;
    if (def.type == FieldType::Text) {
        static const QRegularExpression sizePattern(QStringLiteral(R"(\(\s*(\d+)\s*\))"));
        const auto match = sizePattern.match(type);
        if (match.hasMatch())
            def.size = match.captured(1).toInt();
    }
}

std::optional<bool> toBoolean(const QVariant& value) {
    switch (value.typeId()) {
    case QMetaType::Bool:
        return value.toBool();
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
        return value.toDouble() != 0;
    default:
        break;
    }
    const QString text = value.toString().trimmed().toLower();
    if (text == QLatin1String("true") || text == QLatin1String("ja") ||
        text == QLatin1String("yes"))
        return true;
    if (text == QLatin1String("false") || text == QLatin1String("nein") ||
        text == QLatin1String("no"))
        return false;
    bool ok = false;
    const double n = text.toDouble(&ok);
    if (ok)
        return n != 0;
    return std::nullopt;
}

QString formatDateTime(const QDateTime& value) {
    const QString pattern = value.time().msec() != 0 ? QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")
                                                     : QStringLiteral("yyyy-MM-dd HH:mm:ss");
    return value.toString(pattern);
}

QDateTime parseDateTime(const QString& text) {
    static const char* const patterns[] = {
        "yyyy-MM-dd HH:mm:ss",     "yyyy-MM-dd HH:mm:ss.zzz", "yyyy-MM-ddTHH:mm:ss",
        "yyyy-MM-ddTHH:mm:ss.zzz", "yyyy-MM-dd HH:mm",        "dd.MM.yyyy HH:mm:ss",
    };
    const QString trimmed = text.trimmed();
    for (const char* pattern : patterns) {
        const QDateTime parsed = QDateTime::fromString(trimmed, QLatin1String(pattern));
        if (parsed.isValid())
            return parsed;
    }
    for (const char* pattern : {"yyyy-MM-dd", "dd.MM.yyyy"}) {
        const QDate date = QDate::fromString(trimmed, QLatin1String(pattern));
        if (date.isValid())
            return date.startOfDay();
    }
    return {};
}

QVariant fromStored(const FieldDef& def, const QVariant& stored) {
    switch (def.type) {
    case FieldType::Text:
        return QVariant(stored.toString());
    case FieldType::Integer: {
        if (stored.typeId() == QMetaType::LongLong)
            return integerValue(stored.toLongLong());
        if (stored.typeId() == QMetaType::Double)
            return integerValue(std::llround(stored.toDouble()));
        bool ok = false;
        const qlonglong n = stored.toString().trimmed().toLongLong(&ok);
        return ok ? integerValue(n) : stored; // not a number: kept as it is, reads as 0
    }
    case FieldType::Boolean: {
        const auto b = toBoolean(stored);
        return b ? QVariant(*b) : stored;
    }
    case FieldType::DateTime: {
        if (stored.typeId() == QMetaType::Double) // a Julian day number
            return QVariant(
                QDateTime::fromMSecsSinceEpoch(
                    qint64(std::llround((stored.toDouble() - 2440587.5) * 86400000.0)), Qt::UTC)
                    .toLocalTime());
        const QDateTime parsed = parseDateTime(stored.toString());
        return parsed.isValid() ? QVariant(parsed) : QVariant();
    }
    case FieldType::Other:
        break;
    }
    return stored;
}

QVariant toFieldValue(const FieldDef& def, const QVariant& value) {
    if (!value.isValid() || value.isNull())
        return {};
    switch (def.type) {
    case FieldType::Text:
        return QVariant(value.toString());
    case FieldType::Integer: {
        const int id = value.typeId();
        if (id == QMetaType::Bool)
            return QVariant(value.toBool() ? 1 : 0);
        if (id == QMetaType::Int || id == QMetaType::LongLong || id == QMetaType::UInt)
            return integerValue(value.toLongLong());
        if (id == QMetaType::Double) {
            const double d = value.toDouble();
            if (std::floor(d) != d)
                throw notValid(value, def, "Ganzzahlwert");
            return integerValue(qlonglong(d));
        }
        const QString text = value.toString().trimmed();
        if (text.isEmpty())
            return {};
        bool ok = false;
        const qlonglong n = text.toLongLong(&ok);
        if (!ok)
            throw notValid(value, def, "Ganzzahlwert");
        return integerValue(n);
    }
    case FieldType::Boolean: {
        if (value.typeId() == QMetaType::QString && value.toString().trimmed().isEmpty())
            return {};
        const auto b = toBoolean(value);
        if (!b)
            throw notValid(value, def, "Wahrheitswert");
        return QVariant(*b);
    }
    case FieldType::DateTime: {
        if (value.typeId() == QMetaType::QDateTime) {
            if (!value.toDateTime().isValid())
                throw notValid(value, def, "Zeitpunkt");
            return QVariant(value.toDateTime().toLocalTime());
        }
        if (value.typeId() == QMetaType::QDate) {
            if (!value.toDate().isValid())
                throw notValid(value, def, "Zeitpunkt");
            return QVariant(value.toDate().startOfDay());
        }
        const QString text = value.toString().trimmed();
        if (text.isEmpty())
            return {};
        const QDateTime parsed = parseDateTime(text);
        if (!parsed.isValid())
            throw notValid(value, def, "Zeitpunkt");
        return QVariant(parsed);
    }
    case FieldType::Other:
        break;
    }
    return value;
}

QVariant toStored(const FieldDef& def, const QVariant& value) {
    if (!value.isValid())
        return {};
    switch (def.type) {
    case FieldType::Text:
        return QVariant(value.toString());
    case FieldType::Integer:
        if (value.typeId() == QMetaType::QString)
            return value; // a value read that was no number goes back unchanged
        return QVariant(value.toLongLong());
    case FieldType::Boolean:
        if (value.typeId() != QMetaType::Bool)
            return value;
        return QVariant(qlonglong(value.toBool() ? 1 : 0));
    case FieldType::DateTime:
        return QVariant(formatDateTime(value.toDateTime()));
    case FieldType::Other:
        break;
    }
    switch (value.typeId()) {
    case QMetaType::Bool:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
        return QVariant(value.toLongLong());
    case QMetaType::Double:
    case QMetaType::QByteArray:
        return value;
    default:
        return QVariant(value.toString());
    }
}

QString displayText(const FieldDef& def, const QVariant& value) {
    if (!value.isValid())
        return {};
    switch (value.typeId()) {
    case QMetaType::Bool:
        return value.toBool() ? QStringLiteral("True") : QStringLiteral("False");
    case QMetaType::QDateTime: {
        const QDateTime t = value.toDateTime();
        return t.time() == QTime(0, 0) ? t.toString(QStringLiteral("dd.MM.yyyy"))
                                       : t.toString(QStringLiteral("dd.MM.yyyy HH:mm:ss"));
    }
    default:
        break;
    }
    Q_UNUSED(def);
    return value.toString();
}

QString requiredMessage(const QString& table, const QString& column) {
    return QStringLiteral("Das Feld '%1' der Tabelle '%2' darf nicht leer sein").arg(column, table);
}

QString duplicateMessage(const QString& table, const QString& column) {
    return QStringLiteral(
               "In der Tabelle '%1' gibt es schon einen Datensatz mit diesem Wert im Feld '%2'")
        .arg(table, column);
}

QString tooLongMessage(const QString& table, const QString& column, int size) {
    return QStringLiteral("Der Text im Feld '%1' der Tabelle '%2' ist zu lang: höchstens %3 "
                          "Zeichen sind erlaubt")
        .arg(column, table)
        .arg(size);
}

} // namespace SqlValue
