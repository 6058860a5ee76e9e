#include "sqlserver/FreeTdsPrivateConfig.h"

#include "platform/ProgramError.h"

#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

namespace {

// Debian's bundle of the system's authorities (ca-certificates); GnuTLS's "system" trust.
const QString kSystemBundle = QStringLiteral("/etc/ssl/certs/ca-certificates.crt");

// GnuTLS's certificate status bits, as FreeTDS prints them ("Certificate status: N").
struct StatusBit {
    unsigned bit;
    const char16_t* text;
};
constexpr StatusBit kStatusBits[] = {
    {1u << 6, u"von keiner vertrauten Zertifizierungsstelle ausgestellt"},
    {1u << 7, u"von einer Stelle ausgestellt, die keine Zertifizierungsstelle ist"},
    {1u << 5, u"widerrufen"},
    {1u << 8, u"mit einem unsicheren Verfahren signiert"},
    {1u << 9, u"noch nicht gültig"},
    {1u << 10, u"abgelaufen"},
    {1u << 11, u"falsch signiert"},
};

QTemporaryDir* folder() {
    static std::unique_ptr<QTemporaryDir> dir;
    if (!dir || !dir->isValid())
        dir = std::make_unique<QTemporaryDir>(QDir::tempPath() +
                                              QStringLiteral("/orvelsqlbackup-freetds-XXXXXX"));
    return dir->isValid() ? dir.get() : nullptr;
}

QString dumpPath() {
    QTemporaryDir* dir = folder();
    return dir ? dir->filePath(QStringLiteral("freetds.log")) : QString();
}

void writePrivate(const QString& path, const QByteArray& data) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner) ||
        file.write(data) != data.size() || !file.flush())
        throw ProgramError(QStringLiteral("Die FreeTDS-Konfiguration %1 kann nicht geschrieben "
                                          "werden: %2; keine Verbindung zum SQL Server")
                               .arg(path, file.errorString()));
}

// The system's authorities and those of caFile, in one file of the private folder.
QString authorityBundle(const QTemporaryDir& dir, const QString& caFile) {
    QFile extra(caFile);
    if (!extra.open(QIODevice::ReadOnly))
        throw ProgramError(QStringLiteral("Die Datei der Zertifizierungsstellen (SqlCAFile) kann "
                                          "nicht gelesen werden: %1; keine Verbindung zum SQL "
                                          "Server")
                               .arg(caFile));
    const QByteArray added = extra.readAll();
    if (!added.contains("-----BEGIN CERTIFICATE-----"))
        throw ProgramError(QStringLiteral("Die Datei der Zertifizierungsstellen (SqlCAFile) "
                                          "enthält kein Zertifikat: %1; keine Verbindung zum SQL "
                                          "Server")
                               .arg(caFile));
    QByteArray bundle;
    QFile system(kSystemBundle);
    if (system.open(QIODevice::ReadOnly))
        bundle = system.readAll();
    if (!bundle.isEmpty() && !bundle.endsWith('\n'))
        bundle += '\n';
    bundle += added;
    const QString path = dir.filePath(QStringLiteral("authorities.pem"));
    writePrivate(path, bundle);
    return path;
}

} // namespace

namespace FreeTdsPrivateConfig {

QByteArray prepare(SqlEncryption::Level level, const QString& caFile) {
    QTemporaryDir* dir = folder();
    if (!dir)
        throw ProgramError(QStringLiteral("Für die FreeTDS-Konfiguration kann unter %1 kein "
                                          "Ordner angelegt werden; keine Verbindung zum SQL Server")
                               .arg(QDir::tempPath()));
    QFile::setPermissions(dir->path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                           QFileDevice::ExeOwner);
    QByteArray conf = "[global]\n";
    switch (level) {
    case SqlEncryption::Level::Request:
        conf += "\tencryption = request\n";
        break;
    case SqlEncryption::Level::Require:
        conf += "\tencryption = require\n";
        break;
    case SqlEncryption::Level::Verify:
        conf += "\tencryption = require\n\tca file = ";
        conf += caFile.isEmpty() ? QByteArray("system")
                                 : QFile::encodeName(authorityBundle(*dir, caFile));
        conf += "\n\tcheck certificate hostname = yes\n";
        break;
    }
    // Error lines only (severe and error): no packets, no login record.
    conf += "\tdump file = " + QFile::encodeName(dumpPath()) + "\n\tdebug flags = 0x06\n";
    const QString path = dir->filePath(QStringLiteral("freetds.conf"));
    writePrivate(path, conf);
    writePrivate(dumpPath(), {});
    return QFile::encodeName(path);
}

QString tlsFailure(const QString& host) {
    QFile dump(dumpPath());
    if (!dump.open(QIODevice::ReadOnly))
        return {};
    QByteArray text = dump.readAll();
    text.replace('\0', "");
    QStringList raw;
    bool nameMismatch = false;
    bool handshake = false;
    bool loginNotSent = false;
    unsigned status = 0;
    for (const QByteArray& bytes : text.split('\n')) {
        const QString line = QString::fromUtf8(bytes).trimmed();
        if (line.contains(QLatin1String("hostname does not match"), Qt::CaseInsensitive)) {
            nameMismatch = true;
        } else if (line.startsWith(QLatin1String("Certificate status:"), Qt::CaseInsensitive)) {
            status |= line.section(QLatin1Char(':'), 1).trimmed().toUInt();
        } else if (line.contains(QLatin1String("handshake"), Qt::CaseInsensitive) ||
                   line.contains(QLatin1String("certificate"), Qt::CaseInsensitive) ||
                   line.contains(QLatin1String("tls"), Qt::CaseInsensitive)) {
            handshake = true;
        } else if (line == QLatin1String("login packet rejected")) {
            loginNotSent = true;
            continue; // said in German below
        } else {
            continue;
        }
        raw << line;
    }
    QString reason;
    if (nameMismatch) {
        reason = QStringLiteral("der Name im Zertifikat des Servers passt nicht zu \"%1\"").arg(host);
    } else if (status != 0) {
        QStringList faults;
        for (const StatusBit& bit : kStatusBits)
            if (status & bit.bit)
                faults << QString::fromUtf16(bit.text);
        reason = QStringLiteral("das Zertifikat des Servers ist ") +
                 (faults.isEmpty() ? QStringLiteral("ungültig") : faults.join(QStringLiteral(", ")));
    } else if (handshake) {
        reason = QStringLiteral("der TLS-Handshake ist gescheitert");
    } else if (loginNotSent) {
        reason = QStringLiteral("der Server bietet keine Verschlüsselung an");
    } else {
        return {};
    }
    if (!raw.isEmpty())
        reason += QStringLiteral(" (FreeTDS: %1)").arg(raw.join(QStringLiteral("; ")));
    return reason;
}

} // namespace FreeTdsPrivateConfig
