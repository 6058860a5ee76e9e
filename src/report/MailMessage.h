#pragma once

#include "report/MailAddressList.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

// A plain-text mail in the report's layout: MIME "multipart/mixed" in ISO-8859-1 whose text
// travels twice, as the preamble before the first boundary and as the one text/plain part.
struct MailMessage {
    QString senderAddress;
    QString senderName;
    QList<MailAddress> recipients;
    QString subject;
    QStringList lines; // one text line each; line breaks inside an entry start new lines
    QDateTime date;
};

namespace MailFormat {

// The longest line SMTP carries, without its CR LF.
constexpr int MaxLineOctets = 998;

// The message as it goes over the wire before dot-stuffing: CR LF line ends, no line longer
// than MaxLineOctets, header texts outside US-ASCII as RFC 2047 encoded words, the text part
// quoted-printable. `boundary` must not occur in the text (a random one does not).
QByteArray compose(const MailMessage& message, const QByteArray& boundary);

// A fresh random boundary.
QByteArray newBoundary();

// A display name for an address header: as it is when that is safe, else quoted, else
// encoded words; blanks at its ends are kept.
QByteArray displayName(const QString& name);
// An unstructured header value (the subject), folded after the header's name of nameLength.
QByteArray headerText(const QString& text, int nameLength);
// Quoted-printable body of ISO-8859-1 lines joined by CR LF.
QByteArray quotedPrintable(const QByteArray& text);

} // namespace MailFormat
