#include "cli/ColumnRules.h"

#include "platform/ProgramError.h"
#include "settings/Dataset.h"
#include "settings/SettingsColumns.h"

#include <QDir>
#include <QFileInfo>

namespace C = SettingsColumns;

namespace {

// The values the window's drop-downs and check boxes store.
struct Choice {
    const QString& column;
    QList<int> values;
    const char* meaning;
};

const QList<Choice>& choices() {
    static const QList<Choice> list = {
        {C::FTP_SSL, {0, 1, 2, 3}, "0 FTP, 1 FTPS, 2 SFTP, 3 S3"},
        {C::FTP_Binary, {0, 1}, "0 TEXT ASCII, 1 BINÄR"},
        {C::FTP_Passiv, {0, 1}, "0 aktiv, 1 passiv"},
    };
    return list;
}

void checkChoice(const QString& column, const QVariant& converted) {
    if (!converted.isValid())
        return;
    for (const Choice& choice : choices()) {
        if (choice.column != column)
            continue;
        if (!choice.values.contains(converted.toInt()))
            throw ProgramError(
                QStringLiteral("'%1' ist kein gültiger Wert für das Feld '%2' "
                               "(erlaubt: %3)")
                    .arg(converted.toString(), column, QString::fromUtf8(choice.meaning)));
    }
    if (column == C::FTP_Port && (converted.toLongLong() < 0 || converted.toLongLong() > 65535))
        throw ProgramError(
            QStringLiteral("'%1' ist kein gültiger Port für das Feld '%2' (0 bis 65535)")
                .arg(converted.toString(), column));
}

// The copy folder is only ever an existing folder, named by its full path (the window's folder
// chooser); empty clears it.
QVariant copyFolder(const QVariant& value) {
    const QString text = value.toString();
    if (!value.isValid() || text.isEmpty())
        return value;
    const QFileInfo info(text);
    if (info.isRelative() || !info.isDir())
        throw ProgramError(QStringLiteral("'%1' ist kein vorhandener Ordner mit vollem Pfad für "
                                          "das Feld '%2'")
                               .arg(text, C::OrdnerZIPDateien));
    return QDir::cleanPath(text);
}

} // namespace

bool ColumnRules::isSecret(const QString& column) {
    return column == C::DBPasswort || column == C::FTP_Passwort || column == C::ZIP_Passwort ||
           column == C::VersenderBenutzerPasswort;
}

QStringList ColumnRules::settableColumns(Dataset& dataset) {
    QStringList columns;
    for (int i = 0; i < dataset.fieldCount(); ++i)
        if (!dataset.fieldDef(i).autoNumber)
            columns.append(dataset.fieldDef(i).name);
    return columns;
}

void ColumnRules::requireKnown(Dataset& dataset, const QString& column) {
    const QStringList known = settableColumns(dataset);
    if (known.contains(column))
        return;
    for (const QString& name : known)
        if (name.compare(column, Qt::CaseInsensitive) == 0)
            throw ProgramError(
                QStringLiteral("Unbekannte Spalte '%1' (gemeint ist wohl '%2')").arg(column, name));
    throw ProgramError(QStringLiteral("Unbekannte Spalte '%1'; bekannt sind: %2")
                           .arg(column, known.join(QStringLiteral(", "))));
}

void ColumnRules::setText(Dataset& dataset, const QString& column, const QString& text) {
    setValue(dataset, column, text.isEmpty() ? QVariant() : QVariant(text));
}

void ColumnRules::setValue(Dataset& dataset, const QString& column, const QVariant& value) {
    requireKnown(dataset, column);
    Field field = dataset.field(column);
    if (column == C::OrdnerZIPDateien) {
        // What is stored already stands, even where the folder is gone meanwhile.
        if (value.toString() != field.asString() || value.isValid() != !field.isNull())
            field.setValue(copyFolder(value));
        return;
    }
    field.setValue(value);
    checkChoice(column, field.value());
}
