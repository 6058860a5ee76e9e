#pragma once

#include "report/MailAccount.h"
#include "settings/GeneralSettings.h"

#include <QString>
#include <QStringList>
#include <functional>

class Clock;
class LogSink;

// The report mail: the screen log, newest line first, to the recipients of the general
// settings, through the account built into the program. Every outcome is a log line; nothing
// escapes. The exchange with the server runs on a worker thread while the window stays alive.
class ReportMail {
public:
    struct Sources {
        // The screen log's lines as the window shows them: newest first, stamped.
        std::function<QStringList()> screenLines;
        // The general settings row as it is stored now; may throw.
        std::function<GeneralSettings()> generalSettings;
        // The account; called once, by prepareCredentials().
        std::function<MailAccount()> account = &MailAccount::builtIn;
    };

    ReportMail(LogSink& log, const Clock& clock, Sources sources);

    // Unscrambles the account's credentials; at start, before any mail.
    void prepareCredentials();
    // Builds and sends the report; the error count of the last run chooses the subject.
    void send(qint32 errorCount);
    // The server refused one recipient: logged, and the mail still goes to the others.
    void recipientRefused(const QString& address, int code, const QString& text,
                             bool& vContinue);

    // Shorter waits for tests of an unanswering server.
    void setTimeouts(int connectSeconds, int replySeconds) {
        m_connectTimeoutS = connectSeconds;
        m_replyTimeoutS = replySeconds;
    }

private:
    struct Delivery;
    Delivery deliver(const QStringList& recipients, const QByteArray& message, bool eightBit);

    LogSink& m_log;
    const Clock& m_clock;
    Sources m_sources;
    MailAccount m_account;
    bool m_prepared = false;
    int m_connectTimeoutS = 30;
    int m_replyTimeoutS = 60;
};
