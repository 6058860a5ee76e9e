// The online parts of a program the package manager installs and updates, against the HTTPS test
// server: the update check only says so (in the window too), and neither it nor the support
// files ask the server; the same parts of a program that updates itself do ask it, so the quiet
// is the package build's doing.
#include "MemoryLog.h"
#include "TempFolder.h"
#include "WebTestServer.h"
#include "core/OnlineParts.h"
#include "online/UpdateWizardView.h"

#include <QFile>
#include <QTest>

namespace {
class RecordingWizard : public UpdateWizardView {
public:
    void Execute(WebUpdate&) override { ++executed; }
    void showMessage(const QString& text) override { messages << text; }
    int executed = 0;
    QStringList messages;
};
} // namespace

class TstOnlineParts : public QObject {
    Q_OBJECT

    WebTestServer m_web;

private slots:
    void initTestCase() { QVERIFY2(m_web.start(), qPrintable(m_web.errorText())); }
    void cleanupTestCase() { m_web.stop(); }

    void packageManagedAsksNoServer_data() {
        QTest::addColumn<QString>("call");
        QTest::addColumn<bool>("packageManaged");
        QTest::addColumn<QStringList>("lines"); // exactly these when package-managed
        QTest::addColumn<QStringList>("messages");
        const QStringList status{
            QStringLiteral("Update-Status: Aktualisierung über die Paketverwaltung")};
        const QStringList message{QStringLiteral("Aktualisierung über die Paketverwaltung")};
        for (const bool managed : {true, false}) {
            const char* who = managed ? "package manager" : "self-updating";
            QTest::addRow("automatic check, %s", who)
                << QStringLiteral("automatic") << managed << status << QStringList();
            QTest::addRow("check by hand, %s", who)
                << QStringLiteral("by hand") << managed << status << message;
            QTest::addRow("SFTP library, %s", who)
                << QStringLiteral("support") << managed << QStringList() << QStringList();
        }
    }
    void packageManagedAsksNoServer() {
        QFETCH(QString, call);
        QFETCH(bool, packageManaged);
        QFETCH(QStringList, lines);
        QFETCH(QStringList, messages);
        TempFolder folder;
        const QString ini = folder.file(QStringLiteral("OrvelSQLBackup.INI"));
        QFile file(ini);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(
            QStringLiteral("[OrvelSQLBackup]\r\nInternet=0\r\nWebServer=%1\r\nWebCAFile=%2\r\n")
                .arg(m_web.base(), m_web.caFile())
                .toUtf8());
        file.close();

        MemoryLog log;
        RecordingWizard wizard;
        OnlineParts::Windows windows;
        windows.wizard = &wizard;
        bool ended = false;
        OnlineParts parts(
            log, folder.path(), ini, windows, [&ended] { ended = true; }, packageManaged);
        const qsizetype before = m_web.requests().size();
        if (call == QLatin1String("automatic"))
            parts.checkAutomatically();
        else if (call == QLatin1String("by hand"))
            parts.checkByHand();
        else
            parts.fetchMissing();
        const qsizetype asked = m_web.requests().size() - before;

        if (packageManaged) {
            QCOMPARE(asked, 0);
            QCOMPARE(log.lines, lines);
            QCOMPARE(wizard.messages, messages);
            QCOMPARE(wizard.executed, 0);
            QVERIFY(!ended);
        } else {
            QVERIFY2(asked > 0, qPrintable(log.lines.join(QLatin1Char('\n'))));
            QVERIFY(!log.lines.contains(lines.value(0, QStringLiteral("-"))));
        }
        QVERIFY(!QFile::exists(folder.file(QStringLiteral("libtgputtylib.so"))));
    }
};

QTEST_GUILESS_MAIN(TstOnlineParts)
#include "tst_onlineparts.moc"
