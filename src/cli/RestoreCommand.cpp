#include "cli/RestoreCommand.h"

#include "cli/CliContext.h"
#include "cli/CommandSupport.h"
#include "cli/ConsoleView.h"
#include "cli/NoCountdownTimers.h"
#include "core/InstanceLock.h"
#include "core/ProgramAssembly.h"
#include "core/ProgramCore.h"
#include "core/RestoreRun.h"
#include "platform/ProgramError.h"

#include <QDir>

QString RestoreCommand::summary() const {
    return QStringLiteral("Archiv eines Auftrags wiederherstellen, testen oder entpacken");
}

QString RestoreCommand::help() const {
    return QStringLiteral(
        "Aufruf: orvelsqlbackup-cli restore JOB [--day 1-7] [--from local|copy|remote]\n"
        "                               [--as NAME] [--replace] [--test] [--unpack-to DIR]\n\n"
        "Stellt die Datenbank des Auftrags JOB (sein DBName) aus seinem Archiv wieder her:\n"
        "das Archiv im Programmordner, sonst im Kopieordner, sonst am Upload-Ziel (oder wo\n"
        "--from sagt), das neueste oder das des Wochentags --day. Das Archiv wird geprüft,\n"
        "die Sicherungsdateien neben die der Nacht entpackt, mit RESTORE DATABASE und den\n"
        "Protokollsicherungen wiederhergestellt und mit DBCC CHECKDB geprüft.\n\n"
        "  --as NAME       in die Datenbank NAME statt in die des Auftrags\n"
        "  --replace       eine vorhandene Datenbank ersetzen (für die des Auftrags nötig)\n"
        "  --test          in die Testdatenbank JOB_Wiederherstellungstest, die danach\n"
        "                  wieder gelöscht wird\n"
        "  --unpack-to DIR nur laden, prüfen und die .BAK/.TRN nach DIR entpacken; an den\n"
        "                  SQL Server geht nichts\n\n"
        "Rückgabewerte: 0 wiederhergestellt (und geprüft), 1 ein Schritt ist\n"
        "fehlgeschlagen, 2 der Aufruf oder die Einstellungen waren falsch.");
}

int RestoreCommand::run(CliContext& context, const QStringList& arguments) {
    RestoreRequest request;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& a = arguments[i];
        const auto value = [&]() -> QString {
            if (i + 1 >= arguments.size())
                throw ProgramError(QStringLiteral("%1 braucht einen Wert").arg(a));
            return arguments[++i];
        };
        try {
            if (a == QLatin1String("--day")) {
                bool ok = false;
                request.weekday = value().toInt(&ok);
                if (!ok || request.weekday < 1 || request.weekday > 7)
                    throw ProgramError(QStringLiteral("--day braucht einen Wochentag von 1 bis 7"));
            } else if (a == QLatin1String("--from")) {
                const QString from = value();
                if (from == QLatin1String("local"))
                    request.from = RestoreFrom::Local;
                else if (from == QLatin1String("copy"))
                    request.from = RestoreFrom::Copy;
                else if (from == QLatin1String("remote"))
                    request.from = RestoreFrom::Remote;
                else
                    throw ProgramError(
                        QStringLiteral("--from braucht local, copy oder remote: %1").arg(from));
            } else if (a == QLatin1String("--as")) {
                request.as = value();
            } else if (a == QLatin1String("--replace")) {
                request.replace = true;
            } else if (a == QLatin1String("--test")) {
                request.test = true;
            } else if (a == QLatin1String("--unpack-to")) {
                request.unpackTo = QDir(value()).absolutePath();
            } else if (a.startsWith(QLatin1String("--")) || !request.job.isEmpty()) {
                throw ProgramError(QStringLiteral("Unbekanntes Argument: %1").arg(a));
            } else {
                request.job = a;
            }
        } catch (const std::exception& e) {
            return CommandSupport::usageError(context, *this, exceptionText(e));
        }
    }
    if (request.job.isEmpty())
        return CommandSupport::usageError(context, *this, QStringLiteral("Kein Auftrag genannt"));
    if (!request.unpackTo.isEmpty() && (request.test || request.replace || !request.as.isEmpty()))
        return CommandSupport::usageError(
            context, *this,
            QStringLiteral("--unpack-to stellt nichts wieder her: ohne --as, --replace, --test"));

    // Not beside the window or a run of the same program folder: they use the same backup
    // folder and server.
    const InstanceLock folder(InstanceLock::programFolderPath(context.programFolder()));
    if (!folder.held()) {
        context.err() << QStringLiteral("Das Fenster oder ein Lauf ist in diesem Programmordner "
                                        "geöffnet; keine Wiederherstellung gestartet.")
                      << Qt::endl;
        return RestoreRun::WrongRequest;
    }
    ConsoleView view({});
    NoCountdownTimers timers;
    ProgramAssembly::Options options;
    options.programFolder = context.programFolder();
    options.unattended = true;
    options.echoLogToStdout = true;
    options.parts.timers = &timers;
    ProgramAssembly assembly(options, view);
    const QString logFolder = context.programFolder() + QStringLiteral("log/");
    QDir().mkpath(logFolder);
    assembly.log().setLogFolder(logFolder);
    try {
        assembly.parts().settings->checkdatabase();
    } catch (const std::exception& e) {
        assembly.log().writelogentry(exceptionText(e));
    }
    if (!assembly.parts().settings->connected())
        return RestoreRun::WrongRequest;
    return assembly.core().restore(request);
}
