#include "report/ReportMail.h"

#include "platform/Clock.h"
#include "platform/DateText.h"
#include "platform/LogSink.h"
#include "platform/ProgramError.h"
#include "platform/VersionInfo.h"
#include "platform/WorkerCall.h"
#include "report/MailAddressList.h"
#include "report/MailMessage.h"
#include "report/SmtpClient.h"

#include <QList>

struct ReportMail::Delivery {
    struct Refusal {
        QString address;
        int code = 0;
        QString text;
    };
    QList<Refusal> refused;
    QString error; // empty: the mail was accepted
};

ReportMail::ReportMail(LogSink& log, const Clock& clock, ReportContent& content,
                       MailAccountSource& account)
    : m_log(log), m_clock(clock), m_content(content), m_accountSource(account) {}

void ReportMail::prepareCredentials() {
    m_account = m_accountSource.mailAccount();
    m_prepared = true;
}

void ReportMail::send(qint32 errorCount) {
    m_log.writelogentry(QStringLiteral("Email wird aufbereitet und verschickt"));
    try {
        // A message of its own each time: nothing of an earlier sending is carried over.
        const GeneralSettings settings = m_content.generalSettings();
        MailMessage message;
        message.lines = m_content.screenLines();
        if (!m_prepared)
            prepareCredentials();
        message.senderAddress = m_account.senderAddress;
        message.senderName =
            QStringLiteral("OrvelSQLBackup " ORVEL_PRODUCT_VERSION " ") + settings.VersenderName;
        QStringList unusable;
        message.recipients = parseAddressList(settings.EmpfaengerEmail, &unusable);
        const QDateTime now = m_clock.now();
        message.date = now;
        message.subject = (errorCount == 0 ? QStringLiteral("OrvelSQLBackup-Report ")
                                           : QStringLiteral("ACHTUNG FEHLER bei OrvelSQLBackup ")) +
                          DateText::shortDateTime(now) + QLatin1Char(' ') + settings.VersenderName;

        // Only a field with nothing in it is empty; blanks are an entry the server judges.
        if (settings.EmpfaengerEmail.isEmpty()) {
            m_log.writelogentry(QStringLiteral("Empfänger-Email-Adresse ist nicht eingetragen"));
            return;
        }
        m_log.writelogentry(QStringLiteral("Email wurde aufbereitet"));
        // An entry without an address cannot go to the server; it is named as a refused one is.
        for (const QString& entry : unusable)
            m_log.writelogentry(QStringLiteral("Fehlerhafte Emailadresse: ") + entry);

        const QString missing = m_account.missingSettings();
        if (!missing.isEmpty())
            throw ProgramError(
                QStringLiteral("In dieses Programm ist kein vollständiges Mailkonto eingebaut "
                               "(beim Bauen fehlt: %1)")
                    .arg(missing));
        if (message.recipients.isEmpty())
            throw ProgramError(
                QStringLiteral("Keine gültige Emailadresse in „%1“").arg(settings.EmpfaengerEmail));

        const QByteArray boundary = MailFormat::newBoundary();
        const QByteArray bytes = MailFormat::compose(message, boundary);
        bool eightBit = false;
        for (char c : bytes)
            eightBit = eightBit || (static_cast<unsigned char>(c) & 0x80);
        QStringList recipients;
        for (const MailAddress& a : message.recipients)
            recipients << a.address;

        const Delivery delivery = deliver(recipients, bytes, eightBit);
        for (const Delivery::Refusal& r : delivery.refused) {
            bool vContinue = true;
            recipientRefused(r.address, r.code, r.text, vContinue);
        }
        if (!delivery.error.isEmpty())
            throw ProgramError(delivery.error);
        m_log.writelogentry(QStringLiteral("Email gesendet"));
    } catch (const std::exception& e) {
        m_log.writelogentry(exceptionText(e));
        m_log.writelogentry(QStringLiteral("FEHLER beim Emailversand"));
    } catch (...) {
        m_log.writelogentry(QStringLiteral("Unbekannter Fehler"));
        m_log.writelogentry(QStringLiteral("FEHLER beim Emailversand"));
    }
}

void ReportMail::recipientRefused(const QString& address, int, const QString&, bool& vContinue) {
    m_log.writelogentry(QStringLiteral("Fehlerhafte Emailadresse: ") + address);
    vContinue = true;
}

ReportMail::Delivery ReportMail::deliver(const QStringList& recipients, const QByteArray& message,
                                         bool eightBit) {
    SmtpEndpoint endpoint;
    endpoint.host = m_account.host;
    endpoint.port = m_account.port;
    endpoint.caFile = m_account.caFile;
    endpoint.connectTimeoutS = m_connectTimeoutS;
    endpoint.replyTimeoutS = m_replyTimeoutS;
    const MailAccount account = m_account;

    // The whole exchange on the worker; the refusals come back to be logged here, in order.
    return workerCall([&]() -> Delivery {
        Delivery d;
        SmtpClient smtp(endpoint);
        try {
            smtp.connect();
            smtp.login(account.userName, account.password);
            smtp.mailFrom(account.senderAddress, eightBit);
            QString lastRefusal;
            int accepted = 0;
            for (const QString& address : recipients) {
                const SmtpReply reply = smtp.rcptTo(address);
                if (reply.positive()) {
                    ++accepted;
                } else {
                    lastRefusal = QString::fromLatin1(reply.text);
                    d.refused.append({address, reply.code, lastRefusal});
                }
            }
            if (accepted == 0)
                throw ProgramError(QStringLiteral("Mailserver lehnt alle Empfänger ab: ") +
                                   lastRefusal);
            smtp.data(message);
        } catch (const std::exception& e) {
            d.error = exceptionText(e);
        }
        smtp.quit();
        return d;
    });
}
