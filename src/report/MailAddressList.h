#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// One recipient of a mail: the address and the display name that came with it (may be empty).
struct MailAddress {
    QString name;
    QString address;

    bool operator==(const MailAddress&) const = default;
};

// Reads an address list as people type it into a mail program: entries separated by commas or
// semicolons; each a bare address or a display name followed by the address in angle brackets;
// quoted display names (with backslash escapes) and comments in parentheses (nested) are
// honoured; blanks around entries and parts are ignored. A separator inside quotes, angle
// brackets or a comment separates nothing. Entries that hold no address are left out of the
// list; each of them that is not blank goes, as typed (without the blanks around it), into
// `unusable` when given. Nothing here decides whether an address is deliverable, the mail
// server does.
QList<MailAddress> parseAddressList(const QString& text, QStringList* unusable = nullptr);
