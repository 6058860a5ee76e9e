#pragma once

#include "report/MailAccount.h"
#include "settings/GeneralSettings.h"

#include <QStringList>

// What the report mail is made of: the screen log and the general settings.
class ReportContent {
public:
    virtual ~ReportContent() = default;
    // The screen log's lines as the window shows them: newest first, stamped.
    virtual QStringList screenLines() = 0;
    // The general settings row as it is stored now; may throw.
    virtual GeneralSettings generalSettings() = 0;
};

// The account the report mail leaves through.
class MailAccountSource {
public:
    virtual ~MailAccountSource() = default;
    virtual MailAccount mailAccount() = 0;
};

// The account built into the program.
class BuiltInMailAccount final : public MailAccountSource {
public:
    MailAccount mailAccount() override { return MailAccount::builtIn(); }
};
