// Where the program keeps its data: beside the executable, or in the folder a package build
// names. This suite is built twice: against the build's own setting, and with a folder named
// here (DATA_FOLDER_NAMED), as a package build names /var/lib/orvelsqlbackup.
#include "platform/DataFolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QTest>

class TstDataFolder : public QObject {
    Q_OBJECT

private slots:
    void resolve_data() {
        QTest::addColumn<QString>("programFolder");
        QTest::addColumn<QString>("builtIn");
        QTest::addColumn<QString>("folder");
        QTest::newRow("none named: the program folder")
            << "/opt/orvelsqlbackup/" << QString() << "/opt/orvelsqlbackup/";
        QTest::newRow("none named, program folder without slash")
            << "/opt/orvelsqlbackup" << QString() << "/opt/orvelsqlbackup/";
        QTest::newRow("named") << "/opt/orvelsqlbackup/"
                               << "/var/lib/orvelsqlbackup"
                               << "/var/lib/orvelsqlbackup/";
        QTest::newRow("named with slash") << "/opt/orvelsqlbackup/"
                                          << "/var/lib/orvelsqlbackup/"
                                          << "/var/lib/orvelsqlbackup/";
        QTest::newRow("named, cleaned") << "/opt/orvelsqlbackup/"
                                        << "/var//lib/x/../orvelsqlbackup"
                                        << "/var/lib/orvelsqlbackup/";
    }
    void resolve() {
        QFETCH(QString, programFolder);
        QFETCH(QString, builtIn);
        QFETCH(QString, folder);
        QCOMPARE(DataFolder::resolve(programFolder, builtIn), folder);
    }

    // The program folder is the executable's; the data folder the one the build names, else
    // that one; and only a build that names one leaves updates to the package manager.
    void thisProgram() {
        const QString programFolder =
            QDir::cleanPath(QCoreApplication::applicationDirPath()) + QLatin1Char('/');
        QCOMPARE(DataFolder::programFolder(), programFolder);
#ifdef DATA_FOLDER_NAMED
        QCOMPARE(DataFolder::builtIn(), QStringLiteral(DATA_FOLDER_NAMED));
        QCOMPARE(DataFolder::current(), QStringLiteral(DATA_FOLDER_NAMED "/"));
        QVERIFY(DataFolder::packageManaged());
#else
        const QString named = DataFolder::builtIn();
        QCOMPARE(DataFolder::current(),
                 named.isEmpty() ? programFolder : QDir::cleanPath(named) + QLatin1Char('/'));
        QCOMPARE(DataFolder::packageManaged(), !named.isEmpty());
#endif
    }
};

QTEST_GUILESS_MAIN(TstDataFolder)
#include "tst_datafolder.moc"
