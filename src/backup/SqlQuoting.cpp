#include "SqlQuoting.h"

QString SqlQuoting::name(const QString& identifier) {
    QString inner = identifier;
    inner.replace(QLatin1Char(']'), QLatin1String("]]"));
    return QLatin1Char('[') + inner + QLatin1Char(']');
}

QString SqlQuoting::text(const QString& value) {
    QString inner = value;
    inner.replace(QLatin1Char('\''), QLatin1String("''"));
    return QLatin1Char('\'') + inner + QLatin1Char('\'');
}
