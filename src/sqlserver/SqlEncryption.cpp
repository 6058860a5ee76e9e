#include "sqlserver/SqlEncryption.h"

#include "platform/IniFile.h"

#include <QDir>
#include <QFileInfo>

namespace {
const QString kSection = QStringLiteral("OrvelSQLBackup");
} // namespace

SqlEncryption SqlEncryption::fromIni(const QString& iniPath) {
    SqlEncryption result;
    if (iniPath.isEmpty())
        return result;
    const IniFile ini(iniPath);
    const QString value =
        ini.value(kSection, QStringLiteral("SqlEncrypt")).value_or(QString()).trimmed();
    if (value.compare(QLatin1String("strict"), Qt::CaseInsensitive) == 0) {
        result.mode = Mode::Strict;
        result.caFile = ini.value(kSection, QStringLiteral("SqlCAFile")).value_or(QString());
        if (!result.caFile.isEmpty() && QFileInfo(result.caFile).isRelative())
            result.caFile = QFileInfo(iniPath).absoluteDir().absoluteFilePath(result.caFile);
    } else if (!value.isEmpty() && value.compare(QLatin1String("require"), Qt::CaseInsensitive) != 0) {
        result.warning = QStringLiteral("Warnung: SqlEncrypt=%1 ist unbekannt (require oder "
                                        "strict); es gilt require")
                             .arg(value);
    }
    return result;
}

bool SqlEncryption::isThisMachine(const QString& host) {
    QString name = host.trimmed();
    if (name.startsWith(QLatin1Char('[')) && name.endsWith(QLatin1Char(']')))
        name = name.mid(1, name.size() - 2);
    return name == QLatin1String("127.0.0.1") || name == QLatin1String("::1") ||
           name == QLatin1String(".") ||
           name.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0 ||
           name.compare(QLatin1String("(local)"), Qt::CaseInsensitive) == 0;
}

SqlEncryption::Level SqlEncryption::levelFor(const QString& host) const {
    if (mode == Mode::Strict)
        return Level::Verify;
    return isThisMachine(host) ? Level::Request : Level::Require;
}
