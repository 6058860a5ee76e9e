#include "transfer/s3/S3Location.h"

#include "transfer/s3/S3Signer.h"

#include <QRegularExpression>

namespace {

// The bucket names S3 accepts: 3 to 63 lower-case letters, digits, dots and hyphens, starting
// and ending with a letter or a digit.
bool validBucket(const QString& name) {
    static const QRegularExpression pattern(QStringLiteral("^[a-z0-9][a-z0-9.-]{1,61}[a-z0-9]$"));
    return pattern.match(name).hasMatch() && !name.contains(QLatin1String(".."));
}

bool plainText(const QString& text) {
    for (const QChar c : text)
        if (c.unicode() <= 0x20 || c.unicode() >= 0x7f)
            return false;
    return true;
}

} // namespace

bool S3Location::isAwsHost(const QString& host) {
    return host.toLower().endsWith(QLatin1String(".amazonaws.com"));
}

QString S3Location::regionOfAwsHost(const QString& host) {
    static const QRegularExpression pattern(QStringLiteral(
        "^(?:.*\\.)?s3[.-](?:dualstack\\.)?([a-z]{2}(?:-gov)?-[a-z]+-[0-9]+)\\.amazonaws\\.com$"));
    const QRegularExpressionMatch m = pattern.match(host.toLower());
    return m.hasMatch() ? m.captured(1) : QString();
}

S3Location::S3Location(const DestinationConfig& config) {
    m_host = config.host.trimmed();
    m_port = config.port > 0 ? config.port : 443;
    const QString path = config.pathPrefix;
    const qsizetype slash = path.indexOf(QLatin1Char('/'));
    m_bucket = slash < 0 ? path : path.left(slash);
    m_prefix = slash < 0 ? QString() : path.mid(slash + 1);
    const QString awsRegion = regionOfAwsHost(m_host);
    const QString region = config.region.trimmed();
    m_region = (region.isEmpty() ? (awsRegion.isEmpty() ? QStringLiteral("us-east-1") : awsRegion)
                                 : region)
                   .toLatin1();
    m_virtualHosted = isAwsHost(m_host);

    if (m_host.isEmpty() || !plainText(m_host) || m_host.contains(QLatin1Char('/')))
        m_error = QStringLiteral("Der S3-Server \"%1\" ist kein Hostname").arg(m_host);
    else if (m_bucket.isEmpty())
        m_error = QStringLiteral("Der S3-Pfad \"%1\" nennt keinen Bucket; erwartet wird "
                                 "\"bucket/präfix/\"")
                      .arg(path);
    else if (!validBucket(m_bucket))
        m_error = QStringLiteral("Der Bucketname \"%1\" ist ungültig: 3 bis 63 Kleinbuchstaben, "
                                 "Ziffern, Punkte oder Bindestriche, ohne Leerzeichen")
                      .arg(m_bucket);
    else if (m_prefix.contains(QLatin1Char('\r')) || m_prefix.contains(QLatin1Char('\n')))
        m_error = QStringLiteral("Der Pfad enthält einen Zeilenumbruch");
    else if (!region.isEmpty() &&
             !QRegularExpression(QStringLiteral("^[a-z0-9-]{1,40}$")).match(region).hasMatch())
        m_error = QStringLiteral("Die S3-Region \"%1\" ist ungültig").arg(region);
    else if (!region.isEmpty() && !awsRegion.isEmpty() && region != awsRegion)
        m_error = QStringLiteral("Die S3-Region %1 passt nicht zum Server %2 (Region %3)")
                      .arg(region, m_host, awsRegion);
    else if (config.user.size() < 16 || config.user.size() > 128 || !plainText(config.user))
        m_error = QStringLiteral("Die Zugangskennung (Access Key ID) hat %1 Zeichen; erwartet "
                                 "werden 16 bis 128 Zeichen ohne Leerzeichen")
                      .arg(config.user.size());
    else if (config.password.size() < 40 || config.password.size() > 128 ||
             !plainText(config.password))
        // The key itself is never named, only its length.
        m_error = QStringLiteral("Der geheime Schlüssel (Secret Key) hat %1 Zeichen; erwartet "
                                 "werden 40 bis 128 Zeichen ohne Leerzeichen")
                      .arg(config.password.size());
}

QString S3Location::objectName(const QString& remoteName) const {
    return m_bucket + QLatin1Char('/') + key(remoteName);
}

QByteArray S3Location::hostHeader() const {
    QByteArray host = m_host.toLatin1();
    if (host.contains(':'))
        host = '[' + host + ']';
    if (m_virtualHosted)
        host = m_bucket.toLatin1() + '.' + host;
    return m_port == 443 ? host : host + ':' + QByteArray::number(m_port);
}

QByteArray S3Location::path(const QString& key) const {
    const QByteArray encodedKey = S3Signer::encode(key.toUtf8(), true);
    if (m_virtualHosted)
        return '/' + encodedKey;
    return '/' + S3Signer::encode(m_bucket.toUtf8(), false) +
           (key.isEmpty() ? QByteArray() : '/' + encodedKey);
}

QByteArray S3Location::url(const QByteArray& path, const QByteArray& query) const {
    return "https://" + hostHeader() + path + (query.isEmpty() ? QByteArray() : '?' + query);
}

QString S3Location::serverName() const {
    return m_host + QLatin1Char(':') + QString::number(m_port);
}
