#include "sqlserver/SqlRecord.h"

#include "platform/ProgramError.h"

SqlRecord::SqlRecord(QSharedPointer<const QStringList> columns, QVariantList values)
    : m_columns(std::move(columns)), m_values(std::move(values)) {}

const QStringList& SqlRecord::columns() const {
    static const QStringList none;
    return m_columns ? *m_columns : none;
}

qsizetype SqlRecord::indexOf(const QString& column) const {
    const QStringList& names = columns();
    for (qsizetype i = 0; i < names.size(); ++i)
        if (names[i].compare(column, Qt::CaseInsensitive) == 0)
            return i;
    return -1;
}

bool SqlRecord::contains(const QString& column) const {
    return indexOf(column) >= 0;
}

QVariant SqlRecord::value(const QString& column) const {
    const qsizetype i = indexOf(column);
    if (i < 0 || i >= m_values.size())
        throw ProgramError(QStringLiteral("Feld \"%1\" nicht gefunden.").arg(column));
    return m_values[i];
}

QString SqlRecord::text(const QString& column) const {
    const QVariant v = value(column);
    if (!v.isValid() || v.isNull())
        return {};
    if (v.typeId() == QMetaType::Double)
        return QString::number(v.toDouble(), 'g', 15);
    return v.toString();
}

qint64 SqlRecord::integer(const QString& column) const {
    const QVariant v = value(column);
    if (!v.isValid() || v.isNull())
        return 0;
    bool ok = false;
    const qint64 n = v.typeId() == QMetaType::Double ? qint64(v.toDouble(&ok)) : v.toLongLong(&ok);
    if (!ok)
        throw ProgramError(
            QStringLiteral("Feld \"%1\" ist keine ganze Zahl: %2").arg(column, v.toString()));
    return n;
}

double SqlRecord::number(const QString& column) const {
    const QVariant v = value(column);
    if (!v.isValid() || v.isNull())
        return 0.0;
    bool ok = false;
    const double d = v.toDouble(&ok);
    if (!ok)
        throw ProgramError(
            QStringLiteral("Feld \"%1\" ist keine Zahl: %2").arg(column, v.toString()));
    return d;
}
