#pragma once

#include "FakeTimers.h"
#include "TempFolder.h"
#include "app/TOrvelSQLBackupMain.h"

#include <QFile>
#include <memory>

// A window in its own program folder with the online functions switched off in the INI file;
// its timers fire only when the test fires them.
inline std::unique_ptr<TOrvelSQLBackupMain>
makeOfflineWindow(const TempFolder& folder, FakeTimers& timers,
                  TOrvelSQLBackupMain::Options options = {}) {
    QFile ini(folder.file(QStringLiteral("OrvelSQLBackup.INI")));
    if (ini.open(QIODevice::WriteOnly))
        ini.write("[OrvelSQLBackup]\r\nInternet=1\r\n");
    ini.close();
    options.programFolder = folder.path();
    options.parts.timers = &timers;
    return std::make_unique<TOrvelSQLBackupMain>(options);
}
