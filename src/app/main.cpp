#include "app/OrvelApplication.h"
#include "app/TOrvelSFTP.h"
#include "app/TOrvelSQLBackupMain.h"
#include "core/InstanceLock.h"
#include "core/RootRunGuard.h"
#include "platform/DataFolder.h"
#include "platform/ProcessHardening.h"
#include "platform/VersionInfo.h"

#include <QFileInfo>
#include <QGuiApplication>

#include <cstdio>

namespace {
QtMessageHandler defaultHandler = nullptr;

// Without a display the notice still fades; the offscreen platform's complaint about every fade
// step would only bury the log lines in the scheduler's journal.
void quietOffscreen(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (message.startsWith(QLatin1String("This plugin does not support")))
        return;
    defaultHandler(type, context, message);
}

} // namespace

int main(int argc, char** argv) {
    ProcessHardening::apply();

    // The arguments as given: QApplication takes away the options it knows (-reverse, -style …),
    // and the first start parameter is the first argument whatever it is.
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);

    // Started by a scheduler without a display: run on the offscreen platform and print the log.
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");

    OrvelApplication app(argc, argv);
    OrvelApplication::applyBlueStyle();
    QApplication::setApplicationName(QStringLiteral(ORVEL_PRODUCT_NAME));
    QApplication::setApplicationDisplayName(QStringLiteral(ORVEL_PRODUCT_NAME));
    QApplication::setApplicationVersion(QStringLiteral(ORVEL_PRODUCT_VERSION));
    QApplication::setQuitOnLastWindowClosed(false);

    // Root takes no orders from a settings file or INI file another account can change.
    const QString refusal = RootRunGuard::refusal(DataFolder::current());
    if (!refusal.isEmpty()) {
        std::fprintf(stderr, "%s\n", refusal.toLocal8Bit().constData());
        return RootRunGuard::kExitCode;
    }

    TOrvelSQLBackupMain::Options options;
    // The folder of the settings, the log and the archives: beside the executable, or the data
    // folder a package build names.
    options.programFolder = DataFolder::current();
    options.arguments = arguments;
    options.buildDate = QFileInfo(QCoreApplication::applicationFilePath())
                            .lastModified()
                            .toString(QStringLiteral("dd.MM.yyyy"));
    options.singleInstance = true;
    options.echoLogToStdout = QGuiApplication::platformName() == QStringLiteral("offscreen");
    // No display (offscreen, minimal): nobody watches, nobody is asked.
    options.unattended = !TOrvelSFTP::hasDisplay();
    if (options.echoLogToStdout)
        defaultHandler = qInstallMessageHandler(quietOffscreen);

    TOrvelSQLBackupMain window(options);
    app.setExceptionHandler(
        [&window](const std::exception& e) { window.ApplicationEvents1Exception(&window, e); });
    QObject::connect(&window, &TOrvelSQLBackupMain::closed, &app, &QApplication::quit,
                     Qt::QueuedConnection);

    window.FormCreate(&window);
    window.show();
    // A second instance has asked the first to come forward; it ends before any real work.
    if (window.anotherInstanceRuns())
        return 0;
    // While the window keeps the settings in memory, the command line leaves them alone: it
    // finds this lock held and refuses its changes.
    const InstanceLock folderLock(InstanceLock::programFolderPath(options.programFolder));
    app.exec();
    return window.exitCode();
}
