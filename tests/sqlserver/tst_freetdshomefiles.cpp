// FreeTDS's files in the account's home folder, which may be the program folder another account
// can write: only files as the account itself would have made them are let through.
#include "TempFolder.h"
#include "sqlserver/FreeTdsHomeFiles.h"

#include <QFile>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

class TestFreeTdsHomeFiles : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void homeFiles_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("reason"); // empty: let through
        for (const char* name : {".freetds.conf", ".interfaces"}) {
            const QString n = QString::fromLatin1(name);
            QTest::addRow("%s own, 0600", name) << n << "own" << QString();
            QTest::addRow("%s writable by the group", name)
                << n << "group" << QStringLiteral("für andere Benutzer beschreibbar");
            QTest::addRow("%s link", name)
                << n << "link" << QStringLiteral("eine symbolische Verknüpfung");
            QTest::addRow("%s folder", name)
                << n << "folder" << QStringLiteral("keine gewöhnliche Datei");
            if (::getuid() == 0)
                QTest::addRow("%s another account's", name)
                    << n << "foreign" << QStringLiteral("gehört einem anderen Benutzer");
        }
        QTest::newRow("neither there") << QString() << QString() << QString();
    }
    void homeFiles() {
        QFETCH(QString, name);
        QFETCH(QString, kind);
        QFETCH(QString, reason);
        TempFolder home;
        TempFolder elsewhere;
        const QString path = home.file(name);
        const QByteArray conf = "[global]\n\tdump file = /tmp/freetds.log\n";
        const auto write = [&conf](const QString& file, QFile::Permissions permissions) {
            QFile f(file);
            return f.open(QIODevice::WriteOnly) && f.write(conf) == conf.size() &&
                   f.setPermissions(permissions);
        };
        const QFile::Permissions own = QFile::ReadOwner | QFile::WriteOwner;
        if (kind == QLatin1String("own") || kind == QLatin1String("foreign")) {
            QVERIFY(write(path, own));
            if (kind == QLatin1String("foreign"))
                QCOMPARE(::chown(QFile::encodeName(path).constData(), 65534, 65534), 0);
        } else if (kind == QLatin1String("group")) {
            QVERIFY(write(path, own | QFile::ReadGroup | QFile::WriteGroup));
        } else if (kind == QLatin1String("link")) {
            QVERIFY(write(elsewhere.file(QStringLiteral("conf")), own));
            QVERIFY(QFile::link(elsewhere.file(QStringLiteral("conf")), path));
        } else if (kind == QLatin1String("folder")) {
            QCOMPARE(::mkdir(QFile::encodeName(path).constData(), 0700), 0);
        }

        const QString refused = FreeTdsHomeFiles::refusal(home.path());
        if (reason.isEmpty())
            QCOMPARE(refused, QString());
        else
            QCOMPARE(refused, QStringLiteral("Die FreeTDS-Konfiguration ") + path +
                                  QStringLiteral(" wird nicht gelesen (") + reason +
                                  QStringLiteral("); keine Verbindung zum SQL Server"));
    }
};

QTEST_GUILESS_MAIN(TestFreeTdsHomeFiles)
#include "tst_freetdshomefiles.moc"
