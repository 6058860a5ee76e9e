// The update wizard and the download progress window on the offscreen platform: the wizard runs
// by itself through the check and the download to the restart page against the HTTPS test server;
// both windows carry their texts and name every control for screen readers.
#include "ControlFileEntry.h"
#include "TempFolder.h"
#include "UpdateSigner.h"
#include "WebTestServer.h"
#include "app/DownloadProgressWindow.h"
#include "app/UpdateWizard.h"
#include "online/TransferState.h"
#include "online/WebUpdate.h"

#include <QAbstractButton>
#include <QCryptographicHash>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>

namespace {
QPushButton* buttonWithText(const QWidget& w, const QString& text) {
    for (QPushButton* b : w.findChildren<QPushButton*>())
        if (b->isVisible() && b->text() == text)
            return b;
    return nullptr;
}

// Every control a screen reader can reach has a name.
QStringList unnamed(const QWidget& w) {
    QStringList out;
    for (QWidget* c : w.findChildren<QWidget*>()) {
        const bool control = qobject_cast<QAbstractButton*>(c) || qobject_cast<QProgressBar*>(c);
        if (control && c->accessibleName().isEmpty() &&
            !(qobject_cast<QAbstractButton*>(c) &&
              static_cast<QAbstractButton*>(c)->text().isEmpty()))
            out << QString::fromLatin1(c->metaObject()->className());
    }
    return out;
}

QStringList labelTexts(const QWidget& w) {
    QStringList out;
    for (QLabel* l : w.findChildren<QLabel*>())
        out << l->text();
    for (QPushButton* b : w.findChildren<QPushButton*>())
        out << b->text();
    return out;
}
} // namespace

class TestOnlineWindows : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void wizardRunsByItselfToTheRestart() {
        const QByteArray program = QByteArray("new program ").repeated(50000);
        WebTestServer web;
        QVERIFY2(web.start(), qPrintable(web.errorText()));
        const QByteArray control =
            "Version=4.0.1.0\n" + controlFileValidity() +
            controlFileEntry(QStringLiteral("OrvelSQLBackup"), program);
        const UpdateSigner maker;
        QVERIFY(web.put(QStringLiteral("/secure/orvelsqlbackup.INF"), control));
        QVERIFY(web.put(QStringLiteral("/secure/orvelsqlbackup.INF.sig"), maker.sign(control)));
        QVERIFY(web.put(QStringLiteral("/secure/OrvelSQLBackup/update/OrvelSQLBackup"), program));
        TempFolder folder;
        WebUpdate update(
            [&web] {
                return WebServer{web.base(), web.caFile()};
            },
            folder.path(), QStringLiteral("4.0.0.0"));
        update.setVerifyingKey(maker.publicKey());

        UpdateWizard wizard;
        wizard.setPause(20);
        QCOMPARE(wizard.windowTitle(), QStringLiteral("OrvelUpdate"));
        QCOMPARE(wizard.font().family(), QStringLiteral("Verdana"));
        QCOMPARE(wizard.font().pixelSize(), 12);
        QVERIFY(wizard.font().bold());

        QStringList headings;
        QStringList missingNames;
        bool restarted = false;
        QTimer watch;
        watch.setInterval(5);
        connect(&watch, &QTimer::timeout, this, [&] {
            if (!wizard.isVisible())
                return;
            const auto* heading = wizard.findChild<QLabel*>(QStringLiteral("lblHeading"));
            if (headings.isEmpty() || headings.last() != heading->text())
                headings << heading->text();
            missingNames << unnamed(wizard);
            if (QPushButton* restart = buttonWithText(wizard, QStringLiteral("Neu starten"))) {
                restarted = true;
                restart->click();
            }
        });
        watch.start();
        QTimer::singleShot(60000, &wizard, [&wizard] { wizard.reject(); });
        wizard.Execute(update);
        watch.stop();

        QVERIFY2(restarted, qPrintable(headings.join(QLatin1Char('|'))));
        QVERIFY2(headings.contains(QStringLiteral("Eine neuere Version wurde gefunden")),
                 qPrintable(headings.join(QLatin1Char('|'))));
        QVERIFY2(headings.contains(
                     QStringLiteral("Das Herunterladen von Updates ist komplett abgeschlossen!")),
                 qPrintable(headings.join(QLatin1Char('|'))));
        QCOMPARE(missingNames, QStringList());
        QFile installed(folder.file(QStringLiteral("OrvelSQLBackup")));
        QVERIFY(installed.open(QIODevice::ReadOnly));
        QCOMPARE(installed.readAll(), program);
    }

    void progressWindowShowsATransferAndCancels() {
        DownloadProgressWindow window;
        TransferState state;
        state.total = 2048;
        state.received = 1024;
        window.transferStarting({QStringLiteral("libtgputtylib.so"),
                                 QStringLiteral("https://example.invalid/secure/OrvelSQLBackup/"
                                                "libtgputtylib.so"),
                                 QStringLiteral("/opt/orvel/libtgputtylib.so"), 0, 1},
                                state);
        QVERIFY(window.isVisible());
        QCOMPARE(window.windowTitle(), QStringLiteral("Downloading"));
        QVERIFY(window.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
        const QStringList texts = labelTexts(window);
        for (const char* text : {"File :", "from", "to", "Progress :", "Transfer rate :",
                                 "Estimated time left :", "Elapsed time :", "Cancel", "Close"})
            QVERIFY2(texts.contains(QString::fromLatin1(text)), text);
        QVERIFY(texts.contains(QStringLiteral("1.0 KB of 2.0 KB")));
        QCOMPARE(unnamed(window), QStringList());
        QCOMPARE(window.findChild<QProgressBar*>()->value(), 50);

        buttonWithText(window, QStringLiteral("Cancel"))->click();
        QVERIFY(state.cancel);
        window.transferEnded(false);
        QVERIFY(!window.isVisible());
    }
};

QTEST_MAIN(TestOnlineWindows)
#include "tst_onlinewindows.moc"
