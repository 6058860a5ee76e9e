#include "cli/RunCommand.h"

#include "cli/CliContext.h"
#include "cli/CommandSupport.h"
#include "cli/ConsoleView.h"
#include "cli/NoCountdownTimers.h"
#include "core/InstanceLock.h"
#include "core/ProgramAssembly.h"
#include "core/ProgramCore.h"
#include "platform/VersionInfo.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QTimer>

QString RunCommand::summary() const {
    return QStringLiteral("Sicherung aller Aufträge, Bericht, Update-Prüfung (wie die Nacht)");
}

QString RunCommand::help() const {
    return QStringLiteral(
        "Aufruf: orvelsqlbackup-cli run [nozip]\n\n"
        "Der automatische Lauf des Programms ohne Countdown und Fenster: die Sicherung aller\n"
        "Aufträge, die Bericht-Email, die installierte Version und die Update-Prüfung. Jede\n"
        "Zeile des Protokolls geht auf die Standardausgabe und in die Tagesdatei im Ordner\n"
        "log/. nozip: nur die Schritte auf dem SQL Server, ohne Packen und Upload.\n\n"
        "Rückgabewerte wie beim Programm: 0 kein Fehler gezählt (\"Fehleranzahl: 0\"),\n"
        "1 Fehler gezählt, 2 der Start ist fehlgeschlagen (Einstellungsdatei nicht\n"
        "geöffnet oder Startvorbereitung abgebrochen). Läuft schon eine Instanz (das\n"
        "Fenster oder ein anderer Lauf), endet der Befehl sofort mit 0.");
}

int RunCommand::run(CliContext& context, const QStringList& arguments) {
    if (arguments.size() > 1 ||
        (arguments.size() == 1 && arguments.first() != QLatin1String("nozip")))
        return CommandSupport::usageError(context, *this,
                                          QStringLiteral("Nur 'nozip' ist als Argument erlaubt"));
    // One instance per user, as the window takes it, and one per program folder: a window
    // or a run of another account in the same folder.
    const InstanceLock perUser(InstanceLock::perUserPath(QStringLiteral(ORVEL_PRODUCT_NAME)));
    const InstanceLock folder(InstanceLock::programFolderPath(context.programFolder()));
    for (const InstanceLock* lock : {&perUser, &folder}) {
        if (!lock->held() && !lock->heldByAnother()) {
            context.err() << QStringLiteral("Die Sperrdatei %1 kann nicht angelegt werden; kein "
                                            "Lauf gestartet.")
                                 .arg(lock->path())
                          << Qt::endl;
            return ProgramCore::kExitPreparationFailed;
        }
    }
    if (!perUser.held() || !folder.held()) {
        context.err() << QStringLiteral("Eine andere Instanz läuft bereits; kein Lauf gestartet.")
                      << Qt::endl;
        return 0;
    }

    ProgramAssembly* program = nullptr;
    bool closing = false;
    ConsoleView view([&program, &closing] {
        // As the window's close: pending changes are stored and the program ends; called from
        // inside a step, so the end comes once the step has returned.
        if (closing || !program)
            return;
        closing = true;
        QTimer::singleShot(0, qApp, [&program] {
            program->core().closeRequested();
            QCoreApplication::exit(0);
        });
    });
    NoCountdownTimers timers;
    ProgramAssembly::Options options;
    options.programFolder = context.programFolder();
    options.arguments = arguments;
    options.buildDate = QFileInfo(QCoreApplication::applicationFilePath())
                            .lastModified()
                            .toString(QStringLiteral("dd.MM.yyyy"));
    options.unattended = true;
    options.echoLogToStdout = true;
    options.parts.timers = &timers;
    ProgramAssembly assembly(options, view);
    program = &assembly;
    assembly.core().windowCreated();
    assembly.core().windowShown();
    QCoreApplication::exec();
    return assembly.core().exitCode();
}
