// The settings editor's rules on a real settings file, and the job list model over the jobs.
#include "MemoryLog.h"
#include "SettingsFiles.h"
#include "TempFolder.h"
#include "settings/Dataset.h"
#include "settings/EditingRules.h"
#include "settings/JobListModel.h"
#include "settings/SettingsColumns.h"
#include "settings/SettingsDatabase.h"

#include <QAbstractItemModelTester>
#include <QDir>
#include <QSignalSpy>
#include <QTest>

namespace C = SettingsColumns;

namespace {
struct Fixture {
    TempFolder folder;
    MemoryLog log;
    SettingsDatabase settings{log, folder.path()};
    Dataset& jobs = settings.queryDatenbanken;
    Dataset& general = settings.queryBenutzerdaten;

    Fixture() {
        if (!SettingsDatabase::CreateAccessDatabase(settings.databasePath()))
            qFatal("settings file not created");
        settings.checkdatabase();
        EditingRules::install(jobs, general);
    }
    void addJob(const QString& name) {
        jobs.append();
        jobs.setValue(C::DBName, name);
        jobs.setValue(C::DBServer, QStringLiteral("srv"));
        jobs.setValue(C::DBPasswort, QStringLiteral("pw"));
        jobs.post();
    }
    QStringList stored(const QString& sql) const {
        return SettingsFiles::rows(settings.databasePath(), sql);
    }
};
} // namespace

class TestEditingRules : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void newJobGetsItsDefaults() {
        Fixture f;
        f.jobs.append();
        QCOMPARE(f.jobs.value(C::DBBenutzer).toString(), QStringLiteral("sa"));
        QCOMPARE(f.jobs.value(C::FTP_aktiv).toBool(), false);
        QCOMPARE(f.jobs.value(C::FTP_Port).toInt(), 21);
        QCOMPARE(f.jobs.value(C::ZIP_erstellen).toBool(), false);
        QCOMPARE(f.jobs.value(C::FTP_SSL).toInt(), 0);
        QCOMPARE(f.jobs.value(C::FTP_Passiv).toInt(), 0);
        QCOMPARE(f.jobs.value(C::FTP_Binary).toInt(), 0);
        for (const QString& empty : {C::DBName, C::DBServer, C::DBPasswort, C::ZIP_Dateiname,
                                     C::FTP_SERVER, C::FTP_Benutzer, C::FTP_Passwort, C::FTP_Pfad})
            QVERIFY2(!f.jobs.value(empty).isValid(), qPrintable(empty));
        // Defaults alone are no input: moving on drops the row.
        QVERIFY(!f.jobs.modified());
    }

    void archiveNameFilledOnlyWhenAsked_data() {
        QTest::addColumn<bool>("zipErstellen");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("stored");
        QTest::newRow("asked, empty") << true << QString() << "Lager";
        QTest::newRow("asked, named") << true << "Eigen"
                                      << "Eigen";
        QTest::newRow("not asked") << false << QString() << "NULL";
    }
    void archiveNameFilledOnlyWhenAsked() {
        QFETCH(bool, zipErstellen);
        QFETCH(QString, typed);
        QFETCH(QString, stored);
        Fixture f;
        f.jobs.append();
        f.jobs.setValue(C::DBName, QStringLiteral("Lager"));
        f.jobs.setValue(C::DBServer, QStringLiteral("srv"));
        f.jobs.setValue(C::DBPasswort, QStringLiteral("pw"));
        f.jobs.setValue(C::ZIP_erstellen, zipErstellen);
        if (!typed.isEmpty())
            f.jobs.setValue(C::ZIP_Dateiname, typed);
        f.jobs.post();
        QCOMPARE(f.stored(QStringLiteral("SELECT ZIP_Dateiname FROM sqldatenbanken")),
                 QStringList{stored});
    }

    void s3PortFromTheFtpDefault_data() {
        QTest::addColumn<int>("protocol");
        QTest::addColumn<int>("typed");
        QTest::addColumn<QString>("stored");
        QTest::newRow("S3, the new-row 21") << 3 << 21 << "443";
        QTest::newRow("S3, a port of its own") << 3 << 8443 << "8443";
        QTest::newRow("FTP keeps 21") << 0 << 21 << "21";
        QTest::newRow("SFTP keeps 21") << 2 << 21 << "21";
    }
    // A job switched to S3 does not keep the new row's FTP port.
    void s3PortFromTheFtpDefault() {
        QFETCH(int, protocol);
        QFETCH(int, typed);
        QFETCH(QString, stored);
        Fixture f;
        f.jobs.append();
        f.jobs.setValue(C::DBName, QStringLiteral("Lager"));
        f.jobs.setValue(C::DBServer, QStringLiteral("srv"));
        f.jobs.setValue(C::DBPasswort, QStringLiteral("pw"));
        f.jobs.setValue(C::FTP_SSL, protocol);
        f.jobs.setValue(C::FTP_Port, typed);
        f.jobs.post();
        QCOMPARE(f.stored(QStringLiteral("SELECT FTP_Port FROM sqldatenbanken")),
                 QStringList{stored});
    }

    void senderAddressNormalisedRecipientsKept() {
        Fixture f;
        f.general.edit();
        f.general.setValue(C::VersenderEmail, QStringLiteral(" \tBackup@Firma-ÄB.DE \r\n"));
        f.general.setValue(C::EmpfaengerEmail, QStringLiteral(" Chef@Firma.de; IT@Firma.de "));
        f.general.post();
        QCOMPARE(
            f.stored(QStringLiteral("SELECT VersenderEmail, EmpfaengerEmail FROM benutzerdaten")),
            QStringList{QStringLiteral("backup@firma-Äb.de| Chef@Firma.de; IT@Firma.de ")});
    }

    // Leaving a general-settings edit stores only what is pending.
    void leavingAnEditStoresOnlyAPendingChange() {
        Fixture f;
        EditingRules::storePendingGeneral(f.general); // browsing: nothing happens
        QCOMPARE(f.general.state(), DatasetState::Browse);
        f.general.edit();
        f.general.setValue(C::VersenderName, QStringLiteral("Kanzlei"));
        EditingRules::storePendingGeneral(f.general);
        QCOMPARE(f.general.state(), DatasetState::Browse);
        QCOMPARE(f.stored(QStringLiteral("SELECT VersenderName FROM benutzerdaten")),
                 QStringList{"Kanzlei"});
        f.general.close();
        EditingRules::storePendingGeneral(f.general); // closed: nothing happens
    }

    void copyFolderChoice_data() {
        QTest::addColumn<QString>("choice"); // "cancel", "missing", "folder", "link"
        QTest::addColumn<bool>("changes");
        QTest::newRow("cancelled") << "cancel" << false;
        QTest::newRow("path that does not exist") << "missing" << false;
        QTest::newRow("existing folder") << "folder" << true;
        QTest::newRow("link to a folder") << "link" << true;
    }
    void copyFolderChoice() {
        QFETCH(QString, choice);
        QFETCH(bool, changes);
        Fixture f;
        TempFolder target;
        QCOMPARE(EditingRules::copyFolderStart(f.general, f.folder.path()), f.folder.path());
        const QString before = QDir::cleanPath(target.path());
        EditingRules::setCopyFolder(f.general, before);
        QCOMPARE(EditingRules::copyFolderStart(f.general, f.folder.path()), before);

        TempFolder other;
        QString chosen;
        if (choice == QLatin1String("missing"))
            chosen = other.file(QStringLiteral("fehlt"));
        else if (choice == QLatin1String("folder"))
            chosen = other.path();
        else if (choice == QLatin1String("link")) {
            chosen = f.folder.file(QStringLiteral("verweis"));
            QVERIFY(QFile::link(QDir::cleanPath(other.path()), chosen));
        }
        EditingRules::setCopyFolder(f.general, chosen);
        const QString expected = changes ? QDir::cleanPath(chosen) : before;
        QCOMPARE(f.stored(QStringLiteral("SELECT OrdnerZIPDateien FROM benutzerdaten")),
                 QStringList{expected});
        QCOMPARE(f.general.state(), DatasetState::Browse);
    }

    // The list follows new, renamed, removed and cancelled rows, and the current row; detached
    // it keeps what it showed until it is attached again.
    void jobListFollowsTheJobs() {
        Fixture f;
        JobListModel model(f.jobs);
        QAbstractItemModelTester tester(&model,
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        QSignalSpy current(&model, &JobListModel::currentRowChanged);
        QCOMPARE(model.rowCount(), 0);
        QCOMPARE(model.headerData(0, Qt::Horizontal).toString(), QStringLiteral("DBName"));
        f.addJob(QStringLiteral("Lager"));
        f.addJob(QStringLiteral("Kasse"));
        QCOMPARE(model.rowCount(), 2);
        QCOMPARE(model.index(1, 0).data().toString(), QStringLiteral("Kasse"));

        f.jobs.first();
        QCOMPARE(current.last().at(0).toInt(), 0);
        f.jobs.edit();
        f.jobs.setValue(C::DBName, QStringLiteral("Lager2"));
        QCOMPARE(model.index(0, 0).data().toString(), QStringLiteral("Lager2"));
        f.jobs.cancel();
        QCOMPARE(model.index(0, 0).data().toString(), QStringLiteral("Lager"));

        f.jobs.insert();
        QCOMPARE(model.rowCount(), 3);
        f.jobs.cancel();
        QCOMPARE(model.rowCount(), 2);

        model.setAttached(false);
        f.addJob(QStringLiteral("Archiv"));
        QCOMPARE(model.rowCount(), 2);
        model.setAttached(true);
        QCOMPARE(model.rowCount(), 3);
        QCOMPARE(current.last().at(0).toInt(), f.jobs.recNo());

        f.jobs.first();
        f.jobs.remove();
        QCOMPARE(model.rowCount(), 2);
        QCOMPARE(model.index(0, 0).data().toString(), QStringLiteral("Kasse"));
    }
};

QTEST_GUILESS_MAIN(TestEditingRules)
#include "tst_editingrules.moc"
