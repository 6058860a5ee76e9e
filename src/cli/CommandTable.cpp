#include "cli/CommandTable.h"

#include "cli/CliContext.h"
#include "cli/ExportCommand.h"
#include "cli/GeneralSetCommand.h"
#include "cli/GeneralShowCommand.h"
#include "cli/HostkeyCommand.h"
#include "cli/ImportCommand.h"
#include "cli/JobAddCommand.h"
#include "cli/JobRemoveCommand.h"
#include "cli/JobSetCommand.h"
#include "cli/JobShowCommand.h"
#include "cli/JobsCommand.h"
#include "cli/RestoreCommand.h"
#include "cli/RunCommand.h"
#include "cli/StatusCommand.h"
#include "cli/TestConnectionCommand.h"
#include "cli/TestMailCommand.h"
#include "core/RootRunGuard.h"
#include "cli/VersionCommand.h"

#include <QDir>
#include <QFileInfo>

#include <cstdio>
#include <unistd.h>

CommandTable::CommandTable() {
    m_commands.push_back(std::make_unique<RunCommand>());
    m_commands.push_back(std::make_unique<StatusCommand>());
    m_commands.push_back(std::make_unique<JobsCommand>());
    m_commands.push_back(std::make_unique<JobShowCommand>());
    m_commands.push_back(std::make_unique<JobAddCommand>());
    m_commands.push_back(std::make_unique<JobSetCommand>());
    m_commands.push_back(std::make_unique<JobRemoveCommand>());
    m_commands.push_back(std::make_unique<GeneralShowCommand>());
    m_commands.push_back(std::make_unique<GeneralSetCommand>());
    m_commands.push_back(std::make_unique<ExportCommand>());
    m_commands.push_back(std::make_unique<ImportCommand>());
    m_commands.push_back(std::make_unique<TestConnectionCommand>());
    m_commands.push_back(std::make_unique<RestoreCommand>());
    m_commands.push_back(std::make_unique<TestMailCommand>());
    m_commands.push_back(std::make_unique<HostkeyCommand>());
    m_commands.push_back(std::make_unique<VersionCommand>());
}

CommandTable::~CommandTable() = default;

CliCommand* CommandTable::find(const QStringList& arguments, qsizetype& nameWords) const {
    CliCommand* found = nullptr;
    nameWords = 0;
    for (const auto& command : m_commands) {
        const QStringList words = command->name().split(QLatin1Char(' '));
        if (words.size() > arguments.size() || words.size() <= nameWords)
            continue;
        if (arguments.mid(0, words.size()) == words) {
            found = command.get();
            nameWords = words.size();
        }
    }
    return found;
}

QString CommandTable::help() const {
    QString text = QStringLiteral(
        "Aufruf: orvelsqlbackup-cli [--folder ORDNER] BEFEHL [ARGUMENTE...]\n"
        "        orvelsqlbackup-cli BEFEHL --help\n\n"
        "Richtet OrvelSQLBackup ohne Fenster ein und startet die Sicherung. Gearbeitet wird\n"
        "mit den Einstellungen des Programmordners (des Ordners dieses Programms, im Paket\n"
        "des Datenordners, den version nennt) oder des Ordners, den --folder nennt.\n\n"
        "Befehle:\n");
    qsizetype width = 0;
    for (const auto& command : m_commands)
        width = std::max(width, command->name().size());
    for (const auto& command : m_commands)
        text += QStringLiteral("  ") + command->name().leftJustified(width + 2) +
                command->summary() + QLatin1Char('\n');
    text += QStringLiteral(
        "\nRückgabewerte: 0 erledigt; 1 fehlgeschlagen (run: Fehler gezählt, test-connection:\n"
        "keine Verbindung); 2 abgelehnt oder falsche Eingabe, nichts gespeichert (run: der\n"
        "Start ist fehlgeschlagen).");
    return text;
}

namespace {
bool isHelp(const QString& word) {
    return word == QLatin1String("--help") || word == QLatin1String("-h");
}

// Root in a program folder that belongs to a service account (its group) would leave files
// there that only root can read (a new settings file, a day file): the next night's run as the
// account would fail. The message names the account to run as instead; empty when all is well.
QString rootInAccountsFolder(const QString& folder) {
    if (::geteuid() != 0)
        return {};
    const QFileInfo info(folder);
    if (info.groupId() == 0 || info.groupId() == uint(-2))
        return {};
    return QStringLiteral("Nicht als root: neue Dateien in %1 gehörten sonst root, und der Lauf "
                          "des Kontos könnte sie nicht lesen. Stattdessen: sudo -u %2 "
                          "orvelsqlbackup-cli ...")
        .arg(folder, info.group());
}
} // namespace

int CommandTable::run(const QStringList& arguments, const QString& defaultProgramFolder) {
    QStringList rest = arguments;
    QString folder = defaultProgramFolder;
    QTextStream err(stderr);
    QTextStream out(stdout);
    while (!rest.isEmpty() && rest.first().startsWith(QLatin1String("-"))) {
        const QString option = rest.takeFirst();
        if (isHelp(option)) {
            out << help() << Qt::endl;
            return CliCommand::kDone;
        }
        if (option == QLatin1String("--folder") || option.startsWith(QLatin1String("--folder="))) {
            if (option == QLatin1String("--folder")) {
                if (rest.isEmpty()) {
                    err << QStringLiteral("--folder braucht einen Ordner") << Qt::endl;
                    return CliCommand::kRefused;
                }
                folder = rest.takeFirst();
            } else {
                folder = option.mid(int(sizeof("--folder=")) - 1);
            }
            if (!QFileInfo(folder).isDir()) {
                err << QStringLiteral("Der Ordner '%1' existiert nicht").arg(folder) << Qt::endl;
                return CliCommand::kRefused;
            }
            continue;
        }
        err << QStringLiteral("Unbekannte Option '%1'\n\n").arg(option) << help() << Qt::endl;
        return CliCommand::kRefused;
    }
    if (rest.isEmpty()) {
        err << help() << Qt::endl;
        return CliCommand::kRefused;
    }
    qsizetype nameWords = 0;
    CliCommand* command = find(rest, nameWords);
    if (!command) {
        err << QStringLiteral("Unbekannter Befehl '%1'\n\n").arg(rest.first()) << help()
            << Qt::endl;
        return CliCommand::kRefused;
    }
    const QStringList commandArguments = rest.mid(nameWords);
    if (std::any_of(commandArguments.begin(), commandArguments.end(), isHelp)) {
        out << command->help() << Qt::endl;
        return CliCommand::kDone;
    }
    folder = QDir(folder).absolutePath();
    if (!folder.endsWith(QLatin1Char('/')))
        folder += QLatin1Char('/');
    // The data folder a package build names is made by the package; without it nothing works.
    if (command->name() != QLatin1String("version") && !QFileInfo(folder).isDir()) {
        err << QStringLiteral("Der Ordner '%1' existiert nicht").arg(folder) << Qt::endl;
        return CliCommand::kRefused;
    }
    if (command->name() != QLatin1String("version") && command->name() != QLatin1String("status")) {
        // Root takes no orders from files another account can change.
        QString refusal = RootRunGuard::refusal(folder);
        if (refusal.isEmpty())
            refusal = rootInAccountsFolder(folder);
        if (!refusal.isEmpty()) {
            err << refusal << Qt::endl;
            return CliCommand::kRefused;
        }
    }
    CliContext context(folder);
    return command->run(context, commandArguments);
}
