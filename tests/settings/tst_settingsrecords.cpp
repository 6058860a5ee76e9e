// Backup jobs and general settings as values: read from and written to the settings file's
// datasets, the job list a backup run takes, and the store of a filled-in archive name.
#include "MemoryLog.h"
#include "SettingsFiles.h"
#include "TempFolder.h"
#include "platform/ProgramError.h"
#include "settings/Dataset.h"
#include "settings/SettingsColumns.h"
#include "settings/SettingsDatabase.h"
#include "settings/SettingsRecords.h"

#include <QFile>
#include <QTest>

namespace {
// A settings file with the given jobs, written directly as another tool might have left them.
struct Fixture {
    TempFolder folder;
    MemoryLog log;
    SettingsDatabase settings{log, folder.path()};
    Dataset& jobs = settings.queryDatenbanken;

    explicit Fixture(const QStringList& names = {}) {
        if (!SettingsDatabase::CreateAccessDatabase(settings.databasePath()))
            qFatal("settings file not created");
        settings.checkdatabase();
        QStringList inserts;
        int n = 0;
        for (const QString& name : names)
            inserts << QStringLiteral(
                           "INSERT INTO sqldatenbanken (DBName, DBServer, DBBenutzer, DBPasswort) "
                           "VALUES ('%1', 'srv%2', 'sa', 'pw')")
                           .arg(name)
                           .arg(++n);
        settings.ADOConnection1.close();
        if (!SettingsFiles::exec(settings.databasePath(), inserts))
            qFatal("job rows not written");
        settings.checkdatabase();
    }
    QStringList names(const QList<BackupJob>& list) const {
        QStringList out;
        for (const BackupJob& j : list)
            out << j.DBName;
        return out;
    }
};

BackupJob fullJob() {
    BackupJob j;
    j.DBName = QStringLiteral("Lager ä'];");
    j.DBServer = QStringLiteral("sql01,1533");
    j.DBBenutzer = QStringLiteral("sicherung");
    j.DBPasswort = QStringLiteral("ge\"heim");
    j.ZIP_Dateiname = QStringLiteral("LagerZip");
    j.ZIP_erstellen = true;
    j.FTP_aktiv = true;
    j.FTP_SERVER = QStringLiteral("ftp.example.org");
    j.FTP_Benutzer = QStringLiteral("hochlader");
    j.FTP_Passwort = QStringLiteral("p;w");
    j.FTP_Port = 2121;
    j.FTP_Pfad = QStringLiteral("/backup/");
    j.FTP_SSL = 2;
    j.FTP_Passiv = 1;
    j.FTP_Binary = 1;
    j.S3_Region = QStringLiteral("eu-central-1");
    return j;
}
} // namespace

class TestSettingsRecords : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // Every field of both records survives a store and a fresh read of the file.
    void recordsRoundTripThroughTheFile() {
        Fixture f;
        f.jobs.append();
        SettingsRecords::writeJob(f.jobs, fullJob());
        f.jobs.post();
        GeneralSettings general;
        general.VersenderName = QStringLiteral("Kanzlei Müller");
        general.VersenderEmail = QStringLiteral("backup@example.org");
        general.VersenderBenutzerName = QStringLiteral("backup");
        general.VersenderBenutzerPasswort = QStringLiteral("x");
        general.EmpfaengerEmail = QStringLiteral("a@example.org; \"B, C\" <b@example.org>");
        general.SMTPServer = QStringLiteral("mail.example.org");
        general.Port = 465;
        general.SMTPSSLTLS = true;
        general.OrdnerZIPDateien = QStringLiteral("/srv/kopie");
        f.settings.queryBenutzerdaten.edit();
        SettingsRecords::writeGeneral(f.settings.queryBenutzerdaten, general);
        f.settings.queryBenutzerdaten.post();

        f.settings.ADOConnection1.close();
        f.settings.checkdatabase();
        QCOMPARE(SettingsRecords::readJob(f.jobs), fullJob());
        general.ID = f.settings.queryBenutzerdaten.field(SettingsColumns::ID).asInteger();
        QCOMPARE(SettingsRecords::readGeneral(f.settings.queryBenutzerdaten), general);
    }

    void jobsForRunInTableOrderWithoutEmptyNames() {
        Fixture f({QStringLiteral("Lager"), QString(), QStringLiteral("Kasse")});
        f.jobs.close();
        QCOMPARE(f.names(SettingsRecords::jobsForRun(f.jobs)),
                 (QStringList{QStringLiteral("Lager"), QStringLiteral("Kasse")}));
    }

    void pendingEditIsStoredBeforeTheRun() {
        Fixture f({QStringLiteral("Lager")});
        f.jobs.first();
        f.jobs.edit();
        f.jobs.setValue(SettingsColumns::DBServer, QStringLiteral("neuerserver"));
        QCOMPARE(SettingsRecords::jobsForRun(f.jobs).value(0).DBServer,
                 QStringLiteral("neuerserver"));
        QCOMPARE(f.jobs.state(), DatasetState::Browse);
    }

    // The refused store ends the run with the table's message; what was typed stays pending.
    void refusedPendingEditThrowsAndStaysPending() {
        Fixture f({QStringLiteral("Lager")});
        f.jobs.first();
        f.jobs.edit();
        f.jobs.setValue(SettingsColumns::DBServer, QString()); // required: the store is refused
        try {
            SettingsRecords::jobsForRun(f.jobs);
            QFAIL("no exception");
        } catch (const ProgramError& e) {
            QVERIFY2(e.message().contains(SettingsColumns::DBServer), qPrintable(e.message()));
        }
        QCOMPARE(f.jobs.state(), DatasetState::Edit);
    }

    void unreadableFileThrows() {
        Fixture f({QStringLiteral("Lager")});
        f.settings.ADOConnection1.close();
        QFile::remove(f.settings.databasePath());
        QFile junk(f.settings.databasePath());
        QVERIFY(junk.open(QIODevice::WriteOnly));
        junk.write(QByteArray(4096, 'x'));
        junk.close();
        QVERIFY_THROWS_EXCEPTION(ProgramError, SettingsRecords::jobsForRun(f.jobs));
    }

    // Settings that are not open are no settings left empty: reading them fails, so the report
    // mail does not read "no recipients" nor the packing "no ZIP password" from them.
    void generalSettingsNotOpenThrows() {
        Fixture f;
        f.settings.queryBenutzerdaten.close();
        QVERIFY_THROWS_EXCEPTION(ProgramError,
                                 SettingsRecords::currentGeneral(f.settings.queryBenutzerdaten));
        f.settings.queryBenutzerdaten.open();
        QCOMPARE(SettingsRecords::currentGeneral(f.settings.queryBenutzerdaten).ID,
                 SettingsRecords::readGeneral(f.settings.queryBenutzerdaten).ID);
    }

    // The name lands in the job's own row, wherever the cursor stood, and only there.
    void zipNameStoredInTheJobsRow() {
        Fixture f({QStringLiteral("Lager"), QStringLiteral("Kasse"), QStringLiteral("Archiv")});
        f.jobs.first();
        f.jobs.remove(); // the rows move up
        f.jobs.last();
        SettingsRecords::storeZipName(f.jobs, QStringLiteral("Kasse"), QStringLiteral("Kasse"));
        QCOMPARE(
            SettingsFiles::rows(
                f.settings.databasePath(),
                QStringLiteral("SELECT DBName, ZIP_Dateiname FROM sqldatenbanken ORDER BY DBName")),
            (QStringList{QStringLiteral("Archiv|NULL"), QStringLiteral("Kasse|Kasse")}));
        QVERIFY_THROWS_EXCEPTION(
            ProgramError,
            SettingsRecords::storeZipName(f.jobs, QStringLiteral("Lager"), QStringLiteral("x")));
        QCOMPARE(f.jobs.state(), DatasetState::Browse);
    }
};

QTEST_GUILESS_MAIN(TestSettingsRecords)
#include "tst_settingsrecords.moc"
