#pragma once

#include "transfer/Destination.h"

#include <QByteArray>
#include <QList>
#include <QString>

// One page of a ListObjectsV2 answer: the objects under the asked prefix (named without it) and
// where the next page begins.
struct S3ListPage {
    QList<RemoteEntry> files;
    bool truncated = false;
    QString nextToken; // NextContinuationToken; the next request's continuation-token
    QString error;     // empty when the body is a listing

    // Reads the body of a ListObjectsV2 answer; keys that do not begin with `prefix` are left out.
    static S3ListPage parse(const QByteArray& body, const QString& prefix);
};
