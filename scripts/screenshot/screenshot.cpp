// Renders the window as a user sees it after stopping the countdown, with two sample jobs, to a
// PNG.
#include "app/OrvelApplication.h"
#include "app/TOrvelSQLBackupMain.h"
#include "core/Timers.h"
#include "platform/LogSink.h"
#include "settings/SettingsDatabase.h"
#include "settings/SettingsRecords.h"

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

namespace {
// Timers that the tool fires itself, so the countdown is stopped at once.
class ManualTimers : public TimerFactory {
public:
    class ManualTimer : public Timer {
    public:
        explicit ManualTimer(std::function<void()> f) : onTimeout(std::move(f)) {}
        void start(int) override { active = true; }
        void stop() override { active = false; }
        bool isActive() const override { return active; }
        int interval() const override { return 0; }
        std::function<void()> onTimeout;
        bool active = false;
    };
    std::unique_ptr<Timer> createTimer(std::function<void()> onTimeout) override {
        auto t = std::make_unique<ManualTimer>(std::move(onTimeout));
        timers.append(t.get());
        return t;
    }
    QList<ManualTimer*> timers;
};

class Silent : public LogSink {
public:
    void writelogentry(const QString&) override {}
};

bool writeSample(const QString& folder) {
    Silent log;
    SettingsDatabase settings(log, folder);
    if (!SettingsDatabase::CreateAccessDatabase(settings.databasePath()))
        return false;
    settings.checkdatabase();
    BackupJob lager;
    lager.DBName = QStringLiteral("Warenwirtschaft");
    lager.DBServer = QStringLiteral("sql01\\SQLEXPRESS");
    lager.DBBenutzer = QStringLiteral("sa");
    lager.DBPasswort = QStringLiteral("geheim");
    lager.ZIP_Dateiname = QStringLiteral("Warenwirtschaft");
    lager.FTP_aktiv = true;
    lager.FTP_SERVER = QStringLiteral("backup.example.org");
    lager.FTP_Benutzer = QStringLiteral("sicherung");
    lager.FTP_Passwort = QStringLiteral("geheim");
    lager.FTP_Port = 22;
    lager.FTP_Pfad = QStringLiteral("/sicherungen/");
    lager.FTP_SSL = 2;
    BackupJob fibu = lager;
    fibu.DBName = QStringLiteral("Finanzbuchhaltung");
    fibu.ZIP_Dateiname = QStringLiteral("Fibu");
    fibu.FTP_aktiv = false;
    fibu.FTP_SSL = 0;
    for (const BackupJob& job : {lager, fibu}) {
        settings.queryDatenbanken.append();
        SettingsRecords::writeJob(settings.queryDatenbanken, job);
        settings.queryDatenbanken.post();
    }
    GeneralSettings general = SettingsRecords::readGeneral(settings.queryBenutzerdaten);
    general.EmpfaengerEmail = QStringLiteral("it@kanzlei-beispiel.de");
    general.VersenderName = QStringLiteral("Kanzlei Beispiel");
    general.ZIP_Passwort = QStringLiteral("Beispiel-Passwort");
    general.OrdnerZIPDateien = QStringLiteral("/mnt/nas/sicherungen");
    settings.queryBenutzerdaten.edit();
    SettingsRecords::writeGeneral(settings.queryBenutzerdaten, general);
    settings.queryBenutzerdaten.post();
    return true;
}
} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: orvel_screenshot OUTPUT.png\n");
        return 2;
    }
    QApplication app(argc, argv);
    OrvelApplication::applyBlueStyle();
    QTemporaryDir dir;
    const QString folder = dir.path() + QLatin1Char('/');
    QFile ini(folder + QStringLiteral("OrvelSQLBackup.INI"));
    if (!ini.open(QIODevice::WriteOnly) || !writeSample(folder))
        return 1;
    ini.write("[OrvelSQLBackup]\r\nInternet=1\r\n");
    ini.close();

    ManualTimers timers;
    TOrvelSQLBackupMain::Options options;
    options.programFolder = folder;
    options.parts.timers = &timers;
    options.buildDate = QDate::currentDate().toString(QStringLiteral("dd.MM.yyyy"));
    TOrvelSQLBackupMain window(options);
    window.FormCreate(&window);
    window.resize(1230, 700);
    window.show();
    timers.timers.at(0)->onTimeout(); // start preparation
    window.SmartMessageBoxClick(&window, 0);
    QCoreApplication::processEvents();
    const bool saved = window.grab().save(QString::fromLocal8Bit(argv[1]));
    return saved ? 0 : 1;
}
