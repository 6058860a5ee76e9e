// The SFTP upload window on the offscreen platform, showing the upload dispatch's attempts: it
// appears a second before the upload, names its controls, closes when the attempt is over, and
// its host key question ends with or without an answer.

#include "MemoryLog.h"
#include "SftpFixture.h"
#include "UploadUnderTest.h"
#include "app/TOrvelSFTP.h"
#include "platform/ErrorCount.h"

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

using Answer = SftpUploadView::HostKeyAnswer;

class TestOrvelSFTP : public QObject {
    Q_OBJECT

    struct World : SftpFixture {
        MemoryLog log;
        ErrorCount errors;
        QString archive;
        bool start() {
            if (!installLibrary() || !server.start(SftpTestServer::defaultScenario()))
                return false;
            archive = folder.file(QStringLiteral("Lager3.ZIP"));
            QFile f(archive);
            return f.open(QIODevice::WriteOnly) && f.write(randomBytes(200 * 1024)) > 0;
        }
        BackupJob job() const {
            BackupJob j;
            j.FTP_SERVER = QStringLiteral("127.0.0.1");
            j.FTP_Benutzer = QStringLiteral("backup");
            j.FTP_Passwort = QStringLiteral("geheim");
            j.FTP_Port = server.port();
            j.FTP_Pfad = QStringLiteral("/");
            j.FTP_SSL = 2;
            return j;
        }
    };

private slots:
    void runsByItselfAndCloses();
    void presetAnswerStoresKey();
    void noDisplayAnswersNoAtOnce();
    void messageBox_data();
    void messageBox();
};

void TestOrvelSFTP::runsByItselfAndCloses() {
    World w;
    QVERIFY2(w.start(), qPrintable(w.server.errorText()));
    w.seedKnownHost();
    TOrvelSFTP window;
    UploadUnderTest upload(w.log, w.errors, &window);
    bool inspected = false;
    QTimer::singleShot(300, this, [&] {
        auto* dialog = qobject_cast<TOrvelSFTP*>(QApplication::activeModalWidget());
        QVERIFY(dialog);
        QCOMPARE(dialog->windowTitle(), QStringLiteral("OrvelSFTP"));
        QCOMPARE(dialog->lblSourceFile->text(), w.archive);
        QCOMPARE(dialog->lblDestFile->text(), QStringLiteral("/Lager3.ZIP"));
        QCOMPARE(dialog->btUpload->text(), QStringLiteral("Upload"));
        QVERIFY(!dialog->btUpload->isEnabled()); // the dispatch uploads; nothing to start here
        QCOMPARE(dialog->Timer1->interval(), 1000);
        QVERIFY(dialog->Timer1->isActive());
        for (QWidget* control : dialog->findChildren<QWidget*>()) {
            if (qobject_cast<QLabel*>(control) || qobject_cast<QAbstractButton*>(control) ||
                qobject_cast<QProgressBar*>(control))
                QVERIFY2(!control->accessibleName().isEmpty(), qPrintable(control->objectName()));
        }
        inspected = true;
    });
    QElapsedTimer clock;
    clock.start();
    QVERIFY(upload.ftphochladen(w.job(), w.archive, QStringLiteral("Lager3.ZIP")));
    QVERIFY(inspected);
    QVERIFY(clock.elapsed() >= 900); // the work starts a second after creation
    QVERIFY(QFile::exists(w.server.home() + QStringLiteral("/Lager3.ZIP")));
    QVERIFY(!QApplication::activeModalWidget());
    QVERIFY(!window.isVisible());
}

void TestOrvelSFTP::presetAnswerStoresKey() {
    World w;
    QVERIFY2(w.start(), qPrintable(w.server.errorText()));
    TOrvelSFTP window;
    UploadUnderTest upload(w.log, w.errors, &window);
    QStringList asked;
    window.setHostKeyQuestion([&](const QString& text, const QString& caption) {
        asked << caption + QLatin1Char('|') + text;
        return Answer::Yes;
    });
    QVERIFY(upload.ftphochladen(w.job(), w.archive, QStringLiteral("Lager3.ZIP")));
    QCOMPARE(asked.size(), 1);
    QVERIFY(asked.first().startsWith(QStringLiteral("Server Verification|Please confirm")));
    QVERIFY(w.knownHosts().contains("[127.0.0.1]:" + QByteArray::number(w.server.port())));
    // Known now: no question.
    QVERIFY(upload.ftphochladen(w.job(), w.archive, QStringLiteral("Lager3.ZIP")));
    QCOMPARE(asked.size(), 1);
}

void TestOrvelSFTP::noDisplayAnswersNoAtOnce() {
    World w;
    QVERIFY2(w.start(), qPrintable(w.server.errorText()));
    QVERIFY(!TOrvelSFTP::hasDisplay());
    TOrvelSFTP window;
    UploadUnderTest upload(w.log, w.errors, &window);
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!upload.ftphochladen(w.job(), w.archive, QStringLiteral("Lager3.ZIP")));
    QVERIFY(upload.attempt.hostKeyUnanswered);
    QVERIFY(clock.elapsed() < 30000);
    QCOMPARE(
        w.log.lines.filter(QStringLiteral("ohne Bildschirm niemand gefragt werden kann")).size(),
        1);
}

void TestOrvelSFTP::messageBox_data() {
    QTest::addColumn<int>("click"); // QMessageBox button, or 0 for none
    QTest::addColumn<int>("answer");
    QTest::newRow("yes") << int(QMessageBox::Yes) << int(Answer::Yes);
    QTest::newRow("no") << int(QMessageBox::No) << int(Answer::No);
    QTest::newRow("nobody") << 0 << int(Answer::Unanswered);
}

void TestOrvelSFTP::messageBox() {
    QFETCH(int, click);
    QFETCH(int, answer);
    QString seenText, seenCaption;
    QMessageBox::Icon seenIcon = QMessageBox::NoIcon;
    QTimer::singleShot(100, this, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        QVERIFY(box);
        seenText = box->text();
        seenCaption = box->windowTitle();
        seenIcon = box->icon();
        if (click)
            box->button(QMessageBox::StandardButton(click))->click();
    });
    const Answer got = TOrvelSFTP::askWithMessageBox(
        nullptr,
        QStringLiteral("Please confirm the SSH host key fingerprint for h, port 22:\r\nfp"),
        QStringLiteral("Server Verification"), 1500);
    QCOMPARE(int(got), answer);
    QCOMPARE(seenCaption, QStringLiteral("Server Verification"));
    QVERIFY(seenText.endsWith(QStringLiteral("fp")));
    QCOMPARE(seenIcon, QMessageBox::Question);
}

QTEST_MAIN(TestOrvelSFTP)
#include "tst_orvelsftp.moc"
