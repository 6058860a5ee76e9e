#pragma once

#include <QString>

// A value as it may stand in an OLE DB style connection string ("Key=value;…"): as it is when
// it can, otherwise in quotes, so that a ';' or a quote in a path or a password cannot cut the
// string short or change its meaning.
QString quoteConnectionStringValue(const QString& value);
