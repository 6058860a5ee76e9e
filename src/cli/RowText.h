#pragma once

#include <QString>
#include <QStringList>

class Dataset;

// A settings row as the show commands print it: one COLUMN=value line per column, in table
// order, as `job set` and `general set` take them back. A password is never printed, only
// whether one is stored.
namespace RowText {
QString value(Dataset& dataset, int row, const QString& column);
QStringList lines(Dataset& dataset, int row);
} // namespace RowText
