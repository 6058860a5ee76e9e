#include "cli/TestMailCommand.h"

#include "cli/CliContext.h"
#include "cli/CommandSupport.h"
#include "cli/SettingsSession.h"
#include "core/LogBook.h"
#include "platform/Clock.h"
#include "report/ReportMail.h"
#include "report/ReportSources.h"
#include "settings/SettingsRecords.h"

#include <QDir>

#include <algorithm>

namespace {
// The mail's content: the lines logged so far, newest first, and the stored general settings.
class LoggedContent final : public ReportContent {
public:
    LoggedContent(LogBook& log, SettingsSession& settings) : m_log(log), m_settings(settings) {}
    QStringList screenLines() override {
        QStringList lines = m_log.lines();
        std::reverse(lines.begin(), lines.end());
        return lines;
    }
    GeneralSettings generalSettings() override {
        return SettingsRecords::currentGeneral(m_settings.general());
    }

private:
    LogBook& m_log;
    SettingsSession& m_settings;
};
} // namespace

QString TestMailCommand::summary() const {
    return QStringLiteral("Bericht-Email jetzt senden");
}

QString TestMailCommand::help() const {
    return QStringLiteral(
        "Aufruf: orvelsqlbackup-cli test-mail\n\n"
        "Sendet die Bericht-Email jetzt an die Empfänger der allgemeinen Einstellungen, wie\n"
        "\"Email senden (Test)\" im Fenster. Die Zeilen gehen auf die Standardausgabe und in\n"
        "die Tagesdatei. Rückgabewert 0, wenn die Email gesendet wurde, sonst 1.");
}

int TestMailCommand::run(CliContext& context, const QStringList& arguments) {
    if (!arguments.isEmpty())
        return CommandSupport::usageError(context, *this, QStringLiteral("Zu viele Argumente"));
    SettingsSession session(context.programFolder());
    if (!CommandSupport::open(context, session))
        return kRefused;
    LogBook log(SystemClock::instance());
    log.setLogFolder(context.programFolder() + QStringLiteral("log/"));
    QDir().mkdir(log.logFolder());
    log.setEchoToStdout(true);
    LoggedContent content(log, session);
    BuiltInMailAccount account;
    ReportMail mail(log, SystemClock::instance(), content, account);
    mail.prepareCredentials();
    mail.send(0);
    return log.lines().filter(QStringLiteral("Email gesendet")).isEmpty() ? kFailed : kDone;
}
