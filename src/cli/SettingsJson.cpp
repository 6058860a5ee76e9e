#include "cli/SettingsJson.h"

#include "cli/ColumnRules.h"
#include "cli/SettingsSession.h"
#include "platform/ProgramError.h"
#include "settings/Dataset.h"
#include "settings/SettingsColumns.h"
#include "settings/SqlValue.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>

#include <cmath>
#include <limits>

namespace C = SettingsColumns;

namespace {

QJsonValue jsonValue(const FieldDef& def, const QVariant& value) {
    if (!value.isValid())
        return QJsonValue(QJsonValue::Null);
    switch (def.type) {
    case FieldType::Integer:
        return QJsonValue(value.toLongLong());
    case FieldType::Boolean:
        return QJsonValue(value.toBool());
    case FieldType::DateTime:
        return QJsonValue(SqlValue::formatDateTime(value.toDateTime()));
    case FieldType::Text:
    case FieldType::Other:
        break;
    }
    return QJsonValue(value.toString());
}

QJsonObject rowObject(Dataset& dataset, int row, bool withSecrets) {
    QJsonObject object;
    for (const QString& column : ColumnRules::settableColumns(dataset)) {
        if (!withSecrets && ColumnRules::isSecret(column))
            continue;
        const int index = dataset.fieldIndex(column);
        object.insert(column, jsonValue(dataset.fieldDef(index), dataset.rowValue(row, index)));
    }
    return object;
}

ProgramError at(const QString& place, const QString& message) {
    return ProgramError(place + QStringLiteral(": ") + message);
}

QString kindOf(const QJsonValue& value) {
    switch (value.type()) {
    case QJsonValue::Bool:
        return QStringLiteral("ein Wahrheitswert");
    case QJsonValue::Double:
        return QStringLiteral("eine Zahl");
    case QJsonValue::String:
        return QStringLiteral("ein Text");
    case QJsonValue::Array:
        return QStringLiteral("eine Liste");
    case QJsonValue::Object:
        return QStringLiteral("ein Objekt");
    default:
        return QStringLiteral("nichts");
    }
}

// The JSON value as the column's type; throws naming the place when it is of another kind.
QVariant columnValue(const FieldDef& def, const QJsonValue& value, const QString& place) {
    if (value.isNull())
        return {};
    switch (def.type) {
    case FieldType::Integer: {
        const double d = value.toDouble();
        if (!value.isDouble() || std::floor(d) != d || d < std::numeric_limits<int>::min() ||
            d > std::numeric_limits<int>::max())
            throw at(place, QStringLiteral("eine ganze Zahl oder null erwartet, gefunden %1")
                                .arg(value.isDouble() ? QString::number(d) : kindOf(value)));
        return QVariant(int(d));
    }
    case FieldType::Boolean:
        if (!value.isBool())
            throw at(
                place,
                QStringLiteral("true, false oder null erwartet, gefunden %1").arg(kindOf(value)));
        return QVariant(value.toBool());
    case FieldType::Text:
    case FieldType::DateTime:
    case FieldType::Other:
        break;
    }
    if (!value.isString())
        throw at(place,
                 QStringLiteral("ein Text oder null erwartet, gefunden %1").arg(kindOf(value)));
    return QVariant(value.toString());
}

using Values = QList<QPair<QString, QVariant>>;

// Every column of one object, checked against the dataset's columns.
Values columnValues(Dataset& dataset, const QJsonObject& object, const QString& place) {
    Values values;
    for (auto it = object.begin(); it != object.end(); ++it) {
        const QString columnPlace = place + QLatin1Char('.') + it.key();
        try {
            ColumnRules::requireKnown(dataset, it.key());
        } catch (const ProgramError& e) {
            throw at(place, e.message());
        }
        const FieldDef& def = dataset.fieldDef(dataset.fieldIndex(it.key()));
        values.append({it.key(), columnValue(def, it.value(), columnPlace)});
    }
    return values;
}

// Sets the values on the current row, which is being edited, and stores it.
void store(Dataset& dataset, const Values& values, const QString& place) {
    try {
        for (const auto& [column, value] : values) {
            try {
                ColumnRules::setValue(dataset, column, value);
            } catch (const ProgramError& e) {
                throw at(place + QLatin1Char('.') + column, e.message());
            }
        }
        dataset.post();
    } catch (const ProgramError& e) {
        if (e.message().startsWith(place))
            throw;
        throw at(place, e.message());
    }
}

QJsonObject parse(const QByteArray& text) {
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(text, &error);
    if (error.error != QJsonParseError::NoError) {
        const QByteArray before = text.left(error.offset);
        const qsizetype line = before.count('\n') + 1;
        const qsizetype column = error.offset - (before.lastIndexOf('\n') + 1) + 1;
        throw ProgramError(QStringLiteral("Zeile %1, Spalte %2: keine gültige JSON-Datei (%3)")
                               .arg(line)
                               .arg(column)
                               .arg(error.errorString()));
    }
    if (!document.isObject())
        throw ProgramError(QStringLiteral("Die Datei enthält kein JSON-Objekt"));
    return document.object();
}

} // namespace

QJsonObject SettingsJson::write(SettingsSession& session, bool withSecrets) {
    QJsonObject root;
    root.insert(QStringLiteral("format"), kFormat);
    root.insert(QStringLiteral("general"), rowObject(session.general(), 0, withSecrets));
    QJsonArray jobs;
    for (int row = 0; row < session.jobs().recordCount(); ++row)
        jobs.append(rowObject(session.jobs(), row, withSecrets));
    root.insert(QStringLiteral("jobs"), jobs);
    return root;
}

SettingsJson::ImportCount SettingsJson::read(SettingsSession& session, const QByteArray& text,
                                             bool prune) {
    const QJsonObject root = parse(text);
    for (auto it = root.begin(); it != root.end(); ++it)
        if (it.key() != QLatin1String("format") && it.key() != QLatin1String("general") &&
            it.key() != QLatin1String("jobs"))
            throw ProgramError(QStringLiteral("Unbekannter Eintrag '%1' (erlaubt: format, "
                                              "general, jobs)")
                                   .arg(it.key()));
    const QJsonValue format = root.value(QStringLiteral("format"));
    if (!format.isDouble() || format.toDouble() != kFormat)
        throw at(QStringLiteral("format"),
                 QStringLiteral("1 erwartet, gefunden %1")
                     .arg(format.isDouble() ? QString::number(format.toDouble()) : kindOf(format)));

    // Everything checked first, then changed.
    Dataset& general = session.general();
    Dataset& jobs = session.jobs();
    std::optional<Values> generalValues;
    const QJsonValue generalValue = root.value(QStringLiteral("general"));
    if (!generalValue.isUndefined()) {
        if (!generalValue.isObject())
            throw at(QStringLiteral("general"),
                     QStringLiteral("ein Objekt erwartet, gefunden %1").arg(kindOf(generalValue)));
        generalValues = columnValues(general, generalValue.toObject(), QStringLiteral("general"));
    }

    const QJsonValue jobsValue = root.value(QStringLiteral("jobs"));
    if (jobsValue.isUndefined() && prune)
        throw ProgramError(QStringLiteral("jobs fehlt: --prune würde jeden Auftrag löschen"));
    if (!jobsValue.isUndefined() && !jobsValue.isArray())
        throw at(QStringLiteral("jobs"),
                 QStringLiteral("eine Liste erwartet, gefunden %1").arg(kindOf(jobsValue)));
    QList<QPair<QString, Values>> jobValues;
    QSet<QString> names;
    const QJsonArray jobArray = jobsValue.toArray();
    for (qsizetype i = 0; i < jobArray.size(); ++i) {
        QString place = QStringLiteral("jobs[%1]").arg(i);
        if (!jobArray.at(i).isObject())
            throw at(
                place,
                QStringLiteral("ein Objekt erwartet, gefunden %1").arg(kindOf(jobArray.at(i))));
        const QJsonObject job = jobArray.at(i).toObject();
        const QJsonValue name = job.value(C::DBName);
        if (!name.isString() || name.toString().isEmpty())
            throw at(place, QStringLiteral("DBName fehlt (der Name des Auftrags)"));
        place += QStringLiteral(" (%1)").arg(name.toString());
        if (names.contains(name.toString()))
            throw at(place, QStringLiteral("der Auftrag steht mehrfach in der Datei"));
        names.insert(name.toString());
        jobValues.append({name.toString(), columnValues(jobs, job, place)});
    }

    ImportCount count;
    if (generalValues) {
        general.first();
        general.edit();
        store(general, *generalValues, QStringLiteral("general"));
    }
    for (qsizetype i = 0; i < jobValues.size(); ++i) {
        const auto& [name, values] = jobValues.at(i);
        const int row = session.jobRow(name);
        if (row < 0) {
            jobs.append();
            ++count.added;
        } else {
            jobs.moveTo(row);
            jobs.edit();
            ++count.changed;
        }
        store(jobs, values, QStringLiteral("jobs[%1] (%2)").arg(i).arg(name));
    }
    if (prune) {
        const int nameColumn = jobs.fieldIndex(C::DBName);
        for (int row = jobs.recordCount() - 1; row >= 0; --row) {
            if (names.contains(jobs.rowValue(row, nameColumn).toString()))
                continue;
            jobs.moveTo(row);
            jobs.remove();
            ++count.removed;
        }
    }
    return count;
}
