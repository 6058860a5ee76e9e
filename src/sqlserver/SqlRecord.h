#pragma once

#include <QList>
#include <QSharedPointer>
#include <QString>
#include <QStringList>
#include <QVariant>

// One row of a query result with its columns by name. Values are text (QString), whole
// numbers (qint64), floating-point numbers (double) or null (an invalid QVariant).
class SqlRecord {
public:
    SqlRecord() = default;
    SqlRecord(QSharedPointer<const QStringList> columns, QVariantList values);

    bool contains(const QString& column) const;
    // Column names are matched case-insensitively. An unknown column throws ProgramError.
    QVariant value(const QString& column) const;
    QString text(const QString& column) const;   // null reads as ""
    qint64 integer(const QString& column) const; // null reads as 0; text that is no number throws
    double number(const QString& column) const;  // null reads as 0; text that is no number throws

    const QStringList& columns() const;

private:
    qsizetype indexOf(const QString& column) const;

    QSharedPointer<const QStringList> m_columns;
    QVariantList m_values;
};

using SqlRecords = QList<SqlRecord>;
