#include "cli/RowText.h"

#include "cli/ColumnRules.h"
#include "settings/Dataset.h"
#include "settings/SqlValue.h"

QString RowText::value(Dataset& dataset, int row, const QString& column) {
    const int index = dataset.fieldIndex(column);
    const QVariant v = dataset.rowValue(row, index);
    if (ColumnRules::isSecret(column))
        return v.isValid() && !v.toString().isEmpty() ? QStringLiteral("(gespeichert)") : QString();
    return SqlValue::displayText(dataset.fieldDef(index), v);
}

QStringList RowText::lines(Dataset& dataset, int row) {
    QStringList lines;
    for (const QString& column : ColumnRules::settableColumns(dataset))
        lines.append(column + QLatin1Char('=') + value(dataset, row, column));
    return lines;
}
