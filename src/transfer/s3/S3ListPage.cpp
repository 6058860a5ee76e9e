#include "transfer/s3/S3ListPage.h"

#include <QTimeZone>
#include <QXmlStreamReader>

S3ListPage S3ListPage::parse(const QByteArray& body, const QString& prefix) {
    S3ListPage page;
    QXmlStreamReader xml(body);
    bool isListing = false;
    bool inContents = false;
    RemoteEntry entry;
    QString key;
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.isStartElement()) {
            const auto name = xml.name();
            if (name == QLatin1String("ListBucketResult"))
                isListing = true;
            else if (name == QLatin1String("Contents")) {
                inContents = true;
                entry = RemoteEntry();
                key.clear();
            } else if (inContents && name == QLatin1String("Key"))
                key = xml.readElementText();
            else if (inContents && name == QLatin1String("Size")) {
                bool ok = false;
                const qint64 size = xml.readElementText().trimmed().toLongLong(&ok);
                entry.size = ok ? size : -1;
            } else if (inContents && name == QLatin1String("LastModified")) {
                QDateTime modified =
                    QDateTime::fromString(xml.readElementText().trimmed(), Qt::ISODateWithMs);
                if (modified.isValid())
                    entry.modified = modified.toTimeZone(QTimeZone::utc());
            } else if (!inContents && name == QLatin1String("IsTruncated"))
                page.truncated = xml.readElementText().trimmed() == QLatin1String("true");
            else if (!inContents && name == QLatin1String("NextContinuationToken"))
                page.nextToken = xml.readElementText().trimmed();
        } else if (xml.isEndElement() && xml.name() == QLatin1String("Contents")) {
            inContents = false;
            if (key.startsWith(prefix) && key.size() > prefix.size()) {
                entry.name = key.mid(prefix.size());
                page.files.append(entry);
            }
        }
    }
    if (xml.hasError() || !isListing)
        page.error = QStringLiteral("keine Liste von Objekten");
    else if (page.truncated && page.nextToken.isEmpty())
        page.error = QStringLiteral("eine gekürzte Liste ohne Fortsetzung");
    return page;
}
