#include "cli/StatusCommand.h"

#include "cli/CliContext.h"
#include "cli/CommandSupport.h"
#include "core/RunStateFile.h"
#include "platform/ProgramError.h"

#include <QLocale>

QString StatusCommand::summary() const {
    return QStringLiteral("was der letzte Lauf hinterlassen hat");
}

QString StatusCommand::help() const {
    return QStringLiteral(
        "Aufruf: orvelsqlbackup-cli status\n\n"
        "Zeigt, wann der letzte Lauf (automatisch oder per Knopf) endete, seine Fehleranzahl\n"
        "und seinen Rückgabewert, und je Auftrag das Archiv, das er gemacht hat (mit Größe),\n"
        "und wie der Upload ausging. Gelesen aus last_run.json im Programmordner, die jeder\n"
        "Lauf schreibt. Rückgabewert 1, wenn noch kein Lauf aufgezeichnet ist.");
}

int StatusCommand::run(CliContext& context, const QStringList& arguments) {
    if (!arguments.isEmpty())
        return CommandSupport::usageError(context, *this, QStringLiteral("Zu viele Argumente"));
    std::optional<RunState> state;
    try {
        state = RunStateFile::inProgramFolder(context.programFolder()).read();
    } catch (const std::exception& e) {
        context.err() << exceptionText(e) << Qt::endl;
        return kFailed;
    }
    if (!state) {
        context.err() << QStringLiteral("Noch kein Lauf aufgezeichnet") << Qt::endl;
        return kFailed;
    }
    const QLocale german(QLocale::German, QLocale::Germany);
    context.out() << QStringLiteral("Letzter Lauf: Ende %1, Dauer %2 s, Fehleranzahl: %3, "
                                    "Rückgabewert: %4")
                         .arg(state->end.toLocalTime().toString(
                             QStringLiteral("dd.MM.yyyy HH:mm:ss")))
                         .arg(qRound64(state->durationSeconds))
                         .arg(state->errors)
                         .arg(state->exitCode)
                  << Qt::endl;
    for (const JobOutcome& job : std::as_const(state->jobs)) {
        const QString archive =
            job.archiveBytes > 0
                ? QStringLiteral("Archiv %1 Bytes").arg(german.toString(job.archiveBytes))
                : QStringLiteral("kein Archiv");
        const QString upload = !job.uploadAsked ? QStringLiteral("Upload nicht gewünscht")
                               : job.uploaded   ? QStringLiteral("Upload OK")
                                                : QStringLiteral("Upload fehlgeschlagen");
        const QString restoreTest =
            !job.restoreTested
                ? QStringLiteral("kein Wiederherstellungstest")
                : QStringLiteral("Wiederherstellungstest %1 (%2)")
                      .arg(job.restoreOk ? QStringLiteral("OK")
                                         : QStringLiteral("fehlgeschlagen"),
                           job.restoreTestEnd.toLocalTime().toString(
                               QStringLiteral("dd.MM.yyyy HH:mm")));
        context.out() << job.dbName << QStringLiteral(": ") << archive << QStringLiteral(", ")
                      << upload << QStringLiteral(", ") << restoreTest << Qt::endl;
    }
    return kDone;
}
