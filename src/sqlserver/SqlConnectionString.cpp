#include "sqlserver/SqlConnectionString.h"

#include "platform/ConnectionString.h"
#include "platform/ProgramError.h"

#include <QStringList>

namespace {

using ConnectionString::invalid;

bool isLocalName(const QString& host) {
    return host == QLatin1String(".") ||
           host.compare(QLatin1String("(local)"), Qt::CaseInsensitive) == 0;
}

} // namespace

SqlServerAddress SqlServerAddress::parse(const QString& dataSource) {
    QString rest = dataSource.trimmed();
    if (rest.startsWith(QLatin1String("tcp:"), Qt::CaseInsensitive))
        rest = rest.mid(4).trimmed();

    SqlServerAddress address;
    const qsizetype comma = rest.indexOf(QLatin1Char(','));
    if (comma >= 0) {
        const QString portText = rest.mid(comma + 1).trimmed();
        bool ok = false;
        const int port = portText.toInt(&ok);
        if (!ok || port < 1 || port > 65535)
            throw ProgramError(invalid(
                QStringLiteral("Port \"%1\" in Data Source \"%2\" ist keine Zahl von 1 bis 65535")
                    .arg(portText, dataSource)));
        address.port = port;
        rest = rest.left(comma).trimmed();
    }
    const qsizetype backslash = rest.indexOf(QLatin1Char('\\'));
    if (backslash >= 0) {
        address.instance = rest.mid(backslash + 1).trimmed();
        rest = rest.left(backslash).trimmed();
    }
    if (rest.isEmpty())
        throw ProgramError(
            invalid(QStringLiteral("kein Server in Data Source \"%1\"").arg(dataSource)));
    address.host = isLocalName(rest) ? QStringLiteral("127.0.0.1") : rest;
    return address;
}

QString SqlServerAddress::freeTdsServerName() const {
    if (port > 0)
        return host + QLatin1Char(':') + QString::number(port);
    if (!instance.isEmpty())
        return host + QLatin1Char('\\') + instance;
    return host;
}

SqlConnectionString SqlConnectionString::parse(const QString& text) {
    SqlConnectionString result;
    bool providerGiven = false;
    bool dataSourceGiven = false;

    for (const ConnectionString::Entry& entry : ConnectionString::split(text)) {
        const QString& key = entry.key;
        const QString& value = entry.value;
        if (key == QLatin1String("provider")) {
            result.provider = value;
            providerGiven = true;
        } else if (key == QLatin1String("data source") || key == QLatin1String("server") ||
                   key == QLatin1String("address") || key == QLatin1String("addr") ||
                   key == QLatin1String("network address")) {
            result.dataSource = value;
            dataSourceGiven = true;
        } else if (key == QLatin1String("user id") || key == QLatin1String("uid")) {
            result.userId = value;
        } else if (key == QLatin1String("password") || key == QLatin1String("pwd")) {
            result.password = value;
        } else if (key == QLatin1String("initial catalog") || key == QLatin1String("database")) {
            result.initialCatalog = value;
        } else if (key == QLatin1String("connect timeout") ||
                   key == QLatin1String("connection timeout")) {
            bool ok = false;
            const int seconds = value.toInt(&ok);
            if (!ok || seconds < 0)
                throw ProgramError(
                    invalid(QStringLiteral("Connect Timeout \"%1\" ist keine Zahl").arg(value)));
            result.connectTimeout = seconds;
        }
        // Other keys (Persist Security Info, Application Name, ...) change nothing here.
    }

    const QString provider = result.provider.trimmed();
    if (!providerGiven ||
        (provider.compare(QLatin1String("SQLOLEDB.1"), Qt::CaseInsensitive) != 0 &&
         provider.compare(QLatin1String("SQLOLEDB"), Qt::CaseInsensitive) != 0))
        throw ProgramError(
            QStringLiteral("Provider \"%1\" wird nicht unterstützt, nur SQLOLEDB.1 oder SQLOLEDB "
                           "(provider not supported)")
                .arg(result.provider));
    if (!dataSourceGiven || result.dataSource.trimmed().isEmpty())
        throw ProgramError(invalid(QStringLiteral("kein Server angegeben (Data Source fehlt)")));
    return result;
}

QString SqlConnectionString::quoteValue(const QString& value) {
    return ConnectionString::quoteValue(value);
}

QString SqlConnectionString::build(const QString& password, const QString& userId,
                                   const QString& initialCatalog, const QString& dataSource) {
    return QLatin1String("Provider=SQLOLEDB.1;Password=") + quoteValue(password) +
           QLatin1String(";Persist Security Info=True;User ID=") + quoteValue(userId) +
           QLatin1String(";Initial Catalog=") + quoteValue(initialCatalog) +
           QLatin1String(";Data Source=") + quoteValue(dataSource);
}
