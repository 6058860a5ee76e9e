#include "SqlConnectionString.h"

#include "ConnectionStringValue.h"
#include "ProgramError.h"

#include <QStringList>

namespace {

QString invalid(const QString& why) {
    return QStringLiteral("Ungültige Verbindungszeichenfolge (invalid connection string): ") + why;
}

bool isLocalName(const QString& host) {
    return host == QLatin1String(".") || host.compare(QLatin1String("(local)"), Qt::CaseInsensitive) == 0;
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
            throw ProgramError(invalid(QStringLiteral("Port \"%1\" in Data Source \"%2\" ist keine Zahl von 1 bis 65535")
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
        throw ProgramError(invalid(QStringLiteral("kein Server in Data Source \"%1\"").arg(dataSource)));
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

    const qsizetype n = text.size();
    qsizetype i = 0;
    while (i < n) {
        // Blanks and empty pairs between ';' are allowed.
        while (i < n && (text[i].isSpace() || text[i] == QLatin1Char(';')))
            ++i;
        if (i >= n)
            break;

        const qsizetype eq = text.indexOf(QLatin1Char('='), i);
        const qsizetype semi = text.indexOf(QLatin1Char(';'), i);
        // The text itself is not quoted in the message: it may be part of a password.
        if (eq < 0 || (semi >= 0 && semi < eq))
            throw ProgramError(invalid(QStringLiteral("Eintrag ohne '=' an Stelle %1").arg(i + 1)));
        const QString key = text.mid(i, eq - i).trimmed().toLower();
        if (key.isEmpty())
            throw ProgramError(invalid(QStringLiteral("Wert ohne Schlüssel")));
        i = eq + 1;
        while (i < n && text[i].isSpace() && text[i] != QLatin1Char(';'))
            ++i;

        QString value;
        if (i < n && (text[i] == QLatin1Char('"') || text[i] == QLatin1Char('\''))) {
            const QChar quote = text[i++];
            bool closed = false;
            while (i < n) {
                if (text[i] == quote) {
                    if (i + 1 < n && text[i + 1] == quote) {
                        value += quote;
                        i += 2;
                        continue;
                    }
                    ++i;
                    closed = true;
                    break;
                }
                value += text[i++];
            }
            if (!closed)
                throw ProgramError(invalid(QStringLiteral("Anführungszeichen beim Schlüssel \"%1\" nicht geschlossen").arg(key)));
            while (i < n && text[i].isSpace())
                ++i;
            if (i < n && text[i] != QLatin1Char(';'))
                throw ProgramError(invalid(QStringLiteral("Zeichen nach dem Wert in Anführungszeichen beim Schlüssel \"%1\"").arg(key)));
        } else {
            const qsizetype end = semi < 0 ? n : semi;
            value = text.mid(i, end - i).trimmed();
            i = end;
        }

        if (key == QLatin1String("provider")) {
            result.provider = value;
            providerGiven = true;
        } else if (key == QLatin1String("data source") || key == QLatin1String("server")
                   || key == QLatin1String("address") || key == QLatin1String("addr")
                   || key == QLatin1String("network address")) {
            result.dataSource = value;
            dataSourceGiven = true;
        } else if (key == QLatin1String("user id") || key == QLatin1String("uid")) {
            result.userId = value;
        } else if (key == QLatin1String("password") || key == QLatin1String("pwd")) {
            result.password = value;
        } else if (key == QLatin1String("initial catalog") || key == QLatin1String("database")) {
            result.initialCatalog = value;
        } else if (key == QLatin1String("connect timeout") || key == QLatin1String("connection timeout")) {
            bool ok = false;
            const int seconds = value.toInt(&ok);
            if (!ok || seconds < 0)
                throw ProgramError(invalid(QStringLiteral("Connect Timeout \"%1\" ist keine Zahl").arg(value)));
            result.connectTimeout = seconds;
        }
        // Other keys (Persist Security Info, Application Name, ...) change nothing here.
    }

    const QString provider = result.provider.trimmed();
    if (!providerGiven || (provider.compare(QLatin1String("SQLOLEDB.1"), Qt::CaseInsensitive) != 0
                           && provider.compare(QLatin1String("SQLOLEDB"), Qt::CaseInsensitive) != 0))
        throw ProgramError(QStringLiteral("Provider \"%1\" wird nicht unterstützt, nur SQLOLEDB.1 oder SQLOLEDB "
                                          "(provider not supported)")
                               .arg(result.provider));
    if (!dataSourceGiven || result.dataSource.trimmed().isEmpty())
        throw ProgramError(invalid(QStringLiteral("kein Server angegeben (Data Source fehlt)")));
    return result;
}

QString SqlConnectionString::quoteValue(const QString& value) {
    return quoteConnectionStringValue(value);
}

QString SqlConnectionString::build(const QString& password, const QString& userId,
                                   const QString& initialCatalog, const QString& dataSource) {
    return QLatin1String("Provider=SQLOLEDB.1;Password=") + quoteValue(password)
        + QLatin1String(";Persist Security Info=True;User ID=") + quoteValue(userId)
        + QLatin1String(";Initial Catalog=") + quoteValue(initialCatalog)
        + QLatin1String(";Data Source=") + quoteValue(dataSource);
}
