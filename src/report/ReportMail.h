#pragma once

#include "report/MailAccount.h"
#include "report/ReportSources.h"

#include <QString>
#include <QStringList>

class Clock;
class LogSink;

// The report mail: the screen log, newest line first, to the recipients of the general
// settings, through the account built into the program. Every outcome is a log line; nothing
// escapes. The exchange with the server runs on a worker thread while the window stays alive.
class ReportMail {
public:
    // The account is asked once, by prepareCredentials().
    ReportMail(LogSink& log, const Clock& clock, ReportContent& content,
               MailAccountSource& account);

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
    ReportContent& m_content;
    MailAccountSource& m_accountSource;
    MailAccount m_account;
    bool m_prepared = false;
    int m_connectTimeoutS = 30;
    int m_replyTimeoutS = 60;
};
