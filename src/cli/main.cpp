#include "cli/CommandTable.h"
#include "platform/DataFolder.h"
#include "platform/ProcessHardening.h"

#include <QCoreApplication>

int main(int argc, char** argv) {
    // Before anything else: umask 077, no core file, Qt's own plugin folder only.
    ProcessHardening::apply();
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);

    QCoreApplication app(argc, argv);
    // The name the program folder's lock carries: the command line, not the window.
    QCoreApplication::setApplicationName(QStringLiteral("orvelsqlbackup-cli"));

    // The folder of the settings, the log and the archives: the folder of the executable (links
    // resolved, so a link in /usr/bin leads to the installed folder), or the data folder a
    // package build names.
    CommandTable commands;
    return commands.run(arguments, DataFolder::current());
}
