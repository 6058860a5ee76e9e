// One SFTP upload attempt as the upload dispatch makes it (FTP_SSL 2), without a window: log
// lines around it, the arrived file and its time, host key questions and their memory within a
// job's run of attempts, and the failures that must not count as an upload.

#include "ClosedPort.h"
#include "MemoryLog.h"
#include "SftpFixture.h"
#include "platform/ErrorCount.h"
#include "UploadUnderTest.h"
#include "transfer/sftp/SftpUploadView.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QRegularExpression>
#include <QtTest>

namespace {

using Answer = SftpUploadView::HostKeyAnswer;

// The window's part played by the test: answers host key questions as told, records them, the
// paths it was opened with and the progress bar.
class ScriptedWindow final : public SftpUploadView {
public:
    void open(const QString& sourceFile, const QString& destFile) override {
        ++opened;
        shown = true;
        paths = {sourceFile, destFile};
    }
    void close() override { shown = false; }

    Answer answer = Answer::Yes;
    QStringList paths;
    bool shown = false;
    QStringList questions;
    QList<qint64> maxima;
    qint64 lastPosition = -1;
    bool visible = false;
    int opened = 0;

    void showProgress(qint64 maximumKiB) override {
        maxima.append(maximumKiB);
        visible = true;
    }
    void setProgress(qint64 kib) override { lastPosition = kib; }
    void hideProgress() override { visible = false; }
    Answer askHostKey(const QString& text, const QString& caption) override {
        questions.append(caption + QLatin1Char('|') + text);
        return answer;
    }
};

} // namespace

class TestSftpUpload : public QObject {
    Q_OBJECT

    struct World : SftpFixture {
        MemoryLog log;
        ErrorCount errors;
        ScriptedWindow window;
        QString archive;
        QByteArray data;

        bool start(const QJsonObject& extra = {}, qsizetype size = 3 * 1024 * 1024 + 11) {
            QJsonObject s = SftpTestServer::defaultScenario();
            for (auto it = extra.begin(); it != extra.end(); ++it)
                s[it.key()] = it.value();
            if (!installLibrary() || !server.start(s))
                return false;
            archive = folder.file(QStringLiteral("Lager3.ZIP"));
            data = randomBytes(size);
            QFile f(archive);
            if (!f.open(QIODevice::WriteOnly) || f.write(data) != data.size())
                return false;
            f.close();
            // A last-write time far from now, to see it arrive.
            return f.open(QIODevice::ReadWrite) &&
                   f.setFileTime(QDateTime(QDate(2026, 7, 14), QTime(3, 4, 5)),
                                 QFileDevice::FileModificationTime);
        }

        BackupJob job(const QString& password = QStringLiteral("geheim")) const {
            BackupJob j;
            j.DBName = QStringLiteral("Lager");
            j.FTP_aktiv = true;
            j.FTP_SERVER = QStringLiteral("127.0.0.1");
            j.FTP_Benutzer = QStringLiteral("backup");
            j.FTP_Passwort = password;
            j.FTP_Port = server.port();
            j.FTP_Pfad = QStringLiteral("/");
            j.FTP_SSL = 2;
            return j;
        }

        QString remote() const { return server.home() + QStringLiteral("/Lager3.ZIP"); }
    };

private slots:
    void knownKeyUploadsWithTimestamp();
    void headlessUnknownKeyEndsAtOnce();
    void headlessOtherKeyTypeWarnsAndRefuses();
    void hostKeyAnswers_data();
    void hostKeyAnswers();
    void unansweredQuestionNotAskedAgainInTheRun();
    void keyboardInteractive();
    void tinyArchive();
    void failures_data();
    void failures();
};

void TestSftpUpload::knownKeyUploadsWithTimestamp() {
    World w;
    QVERIFY2(w.start(), qPrintable(w.server.errorText()));
    w.seedKnownHost();
    UploadUnderTest upload(w.log, w.errors, &w.window);
    QVERIFY(upload.ftphochladen(w.job(), w.archive, QStringLiteral("Lager3.ZIP")));
    QVERIFY(w.window.questions.isEmpty());
    QCOMPARE(w.log.lines.first(), QStringLiteral("Starte SFTP-Prozess für Datenbank: Lager3.ZIP"));
    QCOMPARE(w.log.lines.last(), QStringLiteral("Beende SFTP-Prozess für Datenbank: Lager3.ZIP"));
    QVERIFY(w.log.lines.contains(QStringLiteral("Access granted")));
    for (const QString& line : w.log.lines) {
        QVERIFY2(!line.contains(QStringLiteral("geheim")), qPrintable(line));
        QVERIFY2(!line.contains(QStringLiteral("FEHLER")), qPrintable(line));
        QCOMPARE(line, line.trimmed());
    }
    QFile stored(w.remote());
    QVERIFY(stored.open(QIODevice::ReadOnly));
    QVERIFY(stored.readAll() == w.data);
    QCOMPARE(QFileInfo(stored).lastModified(), QFileInfo(w.archive).lastModified());
    QCOMPARE(w.window.maxima, QList<qint64>{w.data.size() / 1024});
    QCOMPARE(w.window.lastPosition, w.data.size() / 1024);
    QVERIFY(!w.window.visible);
    QCOMPARE(w.window.paths, QStringList({w.archive, QStringLiteral("/Lager3.ZIP")}));
    QVERIFY(!w.window.shown);
    QCOMPARE(w.errors.value(), 0);
}

void TestSftpUpload::headlessUnknownKeyEndsAtOnce() {
    World w;
    QVERIFY2(w.start(), qPrintable(w.server.errorText()));
    UploadUnderTest upload(w.log, w.errors); // no window: nobody to ask
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!upload.ftphochladen(w.job(), w.archive, QStringLiteral("Lager3.ZIP")));
    QVERIFY(clock.elapsed() < 30000);
    const QString joined = w.log.lines.join(QLatin1Char('\n'));
    QVERIFY2(joined.contains(QStringLiteral("ist nicht bekannt")), qPrintable(joined));
    QVERIFY2(joined.contains(QStringLiteral("ssh-keyscan -p %1 127.0.0.1 >> %2known_hosts")
                                 .arg(w.server.port())
                                 .arg(w.folder.path())),
             qPrintable(joined));
    QCOMPARE(w.log.lines.last(), QStringLiteral("Beende SFTP-Prozess für Datenbank: Lager3.ZIP"));
    QVERIFY(!QFile::exists(w.remote()));
    QVERIFY(w.knownHosts().isEmpty());
}

// The host is stored with an ed25519 key and the server now offers only an ECDSA key: a
// changed key, which the log book warns about and a run without a display refuses.
void TestSftpUpload::headlessOtherKeyTypeWarnsAndRefuses() {
    World w;
    QJsonObject ecdsaOnly;
    ecdsaOnly[QStringLiteral("host_key")] = w.server.hostKeyFile(QStringLiteral("ecdsa_key"));
    QVERIFY2(w.start(ecdsaOnly), qPrintable(w.server.errorText()));
    const QByteArray stored =
        "# kept\n[127.0.0.1]:" + QByteArray::number(w.server.port()) +
        " ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIKUONnDRJKZZ7h8ZD7Zmp4yGrgdR+7v7"
        "kmJcRqnhEnZT\n";
    QFile kh(w.knownHostsFile());
    QVERIFY(kh.open(QIODevice::WriteOnly));
    kh.write(stored);
    kh.close();
    UploadUnderTest upload(w.log, w.errors); // no window: nobody to ask
    QVERIFY(!upload.ftphochladen(w.job(), w.archive, QStringLiteral("Lager3.ZIP")));
    const QString warning = QStringLiteral("WARNUNG: Der Host-Schlüssel von 127.0.0.1:%1 hat sich "
                                           "geändert")
                                .arg(w.server.port());
    const QStringList warnings = w.log.lines.filter(warning);
    QCOMPARE(warnings.size(), 1);
    QVERIFY2(warnings.first().startsWith(warning + QStringLiteral(". ")), qPrintable(warnings[0]));
    QVERIFY2(warnings.first().contains(
                 QStringLiteral("ssh-keygen -R \"[127.0.0.1]:%1\" -f %2known_hosts")
                     .arg(w.server.port())
                     .arg(w.folder.path())),
             qPrintable(warnings.first()));
    const QString joined = w.log.lines.join(QLatin1Char('\n'));
    QVERIFY2(joined.contains(QStringLiteral("hat sich geändert (WARNING: REMOTE HOST "
                                            "IDENTIFICATION HAS CHANGED!")),
             qPrintable(joined));
    QVERIFY(!QFile::exists(w.remote()));
    QCOMPARE(w.knownHosts(), stored);
}

void TestSftpUpload::hostKeyAnswers_data() {
    QTest::addColumn<bool>("changedKey");
    QTest::addColumn<int>("answer");
    QTest::addColumn<bool>("uploaded");
    QTest::addColumn<int>("questionsNextAttempt");
    QTest::newRow("new, yes") << false << int(Answer::Yes) << true << 0;
    QTest::newRow("new, no") << false << int(Answer::No) << false << 1;
    QTest::newRow("changed, no") << true << int(Answer::No) << false << 1;
}

void TestSftpUpload::hostKeyAnswers() {
    QFETCH(bool, changedKey);
    QFETCH(int, answer);
    QFETCH(bool, uploaded);
    QFETCH(int, questionsNextAttempt);
    World w;
    QVERIFY2(w.start(), qPrintable(w.server.errorText()));
    if (changedKey) {
        // Another key stored for this host and port.
        QFile kh(w.knownHostsFile());
        QVERIFY(kh.open(QIODevice::WriteOnly));
        kh.write(
            "[127.0.0.1]:" + QByteArray::number(w.server.port()) +
            " ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIKUONnDRJKZZ7h8ZD7Zmp4yGrgdR+7v7kmJcRqnhEnZT\n");
    }
    w.window.answer = Answer(answer);
    UploadUnderTest upload(w.log, w.errors, &w.window);
    QCOMPARE(upload.ftphochladen(w.job(), w.archive, QStringLiteral("Lager3.ZIP")), uploaded);
    QCOMPARE(w.window.questions.size(), 1);
    QVERIFY2(w.window.questions.first().startsWith(
                 QStringLiteral("Server Verification|Please confirm the SSH host key fingerprint "
                                "for 127.0.0.1, port %1:\r\n%2")
                     .arg(w.server.port())
                     .arg(changedKey ? QStringLiteral("WARNING: REMOTE HOST IDENTIFICATION HAS "
                                                      "CHANGED!\r\n")
                                     : QStringLiteral("ssh-ed25519 SHA256:"))),
             qPrintable(w.window.questions.first()));
    QCOMPARE(QFile::exists(w.remote()), uploaded);
    if (!uploaded) // the session's own text is the one entry of the failure
        QCOMPARE(w.log.lines.filter(QStringLiteral("tgsftp_connect")).size(), 1);

    // The next attempt of the job.
    w.window.questions.clear();
    w.window.answer = Answer::No;
    upload.ftphochladen(w.job(), w.archive, QStringLiteral("Lager3.ZIP"));
    QCOMPARE(w.window.questions.size(), questionsNextAttempt);
}

void TestSftpUpload::unansweredQuestionNotAskedAgainInTheRun() {
    World w;
    QVERIFY2(w.start({}, 100), qPrintable(w.server.errorText()));
    w.window.answer = Answer::Unanswered;
    UploadUnderTest upload(w.log, w.errors, &w.window);
    // A run makes ten attempts: only the first asks.
    for (int attempt = 0; attempt < 10; ++attempt)
        QVERIFY(!upload.ftphochladen(w.job(), w.archive, QStringLiteral("Lager3.ZIP")));
    QCOMPARE(w.window.questions.size(), 1);
    QCOMPARE(w.window.opened, 10);
    QCOMPARE(w.log.lines.filter(QStringLiteral("ist nicht bekannt")).size(), 10);
    QCOMPARE(w.log.lines.filter(QStringLiteral("120 Sekunden unbeantwortet")).size(), 1);
    // The next run of the job asks again.
    upload.newRun();
    QVERIFY(!upload.ftphochladen(w.job(), w.archive, QStringLiteral("Lager3.ZIP")));
    QCOMPARE(w.window.questions.size(), 2);
}

void TestSftpUpload::keyboardInteractive() {
    World w;
    QVERIFY2(w.start({{QStringLiteral("auth"), QStringLiteral("kbdint")}}),
             qPrintable(w.server.errorText()));
    w.seedKnownHost();
    UploadUnderTest upload(w.log, w.errors, &w.window);
    QVERIFY(upload.ftphochladen(w.job(), w.archive, QStringLiteral("Lager3.ZIP")));
    QVERIFY(w.log.lines.contains(QStringLiteral("Replying with empty line.")));
}

void TestSftpUpload::tinyArchive() {
    World w;
    QVERIFY2(w.start({}, 700), qPrintable(w.server.errorText()));
    w.seedKnownHost();
    UploadUnderTest upload(w.log, w.errors, &w.window);
    QVERIFY(upload.ftphochladen(w.job(), w.archive, QStringLiteral("Lager3.ZIP")));
    QCOMPARE(w.window.maxima, QList<qint64>{0});
    QCOMPARE(QFileInfo(w.remote()).size(), 700);
}

void TestSftpUpload::failures_data() {
    QTest::addColumn<QJsonObject>("scenario");
    QTest::addColumn<QString>("password");
    QTest::addColumn<bool>("refusedPort");
    QTest::addColumn<bool>("library");
    QTest::addColumn<QString>("logged");
    // What the server holds under the archive's name, where last week's archive lay:
    // -1 nothing, -2 not checked, -3 last week's archive untouched, else the size.
    QTest::addColumn<qint64>("remoteSize");
    const qint64 whole = 3 * 1024 * 1024 + 11;
    const qint64 none = -1, lastWeek = -3;
    QTest::newRow("setstat refused")
        << QJsonObject{{QStringLiteral("refuse_setstat"), true}} << QStringLiteral("geheim")
        << false << true << QStringLiteral("tgsftp_setstat: Error 3, Permission denied") << whole;
    QTest::newRow("writes kept short")
        << QJsonObject{{QStringLiteral("lose_after_bytes"), 1000000}} << QStringLiteral("geheim")
        << false << true
        << QStringLiteral("Die Datei /Lager3.ZIP ist auf dem SFTP-Server 1000000 Bytes groß statt "
                          "%1 Bytes; sie kam nicht vollständig an.")
               .arg(whole)
        << none;
    QTest::newRow("connection cut")
        << QJsonObject{{QStringLiteral("drop_after_bytes"), 1000000}} << QStringLiteral("geheim")
        << false << true << QStringLiteral("tgsftp_putfile: Unknown Error.") << none;
    QTest::newRow("connection cut, removal refused")
        << QJsonObject{{QStringLiteral("drop_after_bytes"), 1000000},
                       {QStringLiteral("refuse_remove"), true}}
        << QStringLiteral("geheim") << false << true
        << QStringLiteral("FEHLER: Die unvollständige Datei /Lager3.ZIP konnte nicht vom "
                          "SFTP-Server entfernt werden: tgsftp_rm: Error 3, *für Datenbank: "
                          "Lager3.ZIP")
        << qint64(-2);
    QTest::newRow("wrong password")
        << QJsonObject{} << QStringLiteral("falsch") << false << true
        << QStringLiteral("Password was rejected, or no password given for") << lastWeek;
    QTest::newRow("unreachable") << QJsonObject{} << QStringLiteral("geheim") << true << true
                                 << QStringLiteral("tgsftp_connect: Unknown Error.") << lastWeek;
    QTest::newRow("no library")
        << QJsonObject{} << QStringLiteral("geheim") << false << false
        << QStringLiteral("TGPuttyLib is not available (%1libtgputtylib.so: ") << lastWeek;
}

void TestSftpUpload::failures() {
    QFETCH(QJsonObject, scenario);
    QFETCH(QString, password);
    QFETCH(bool, refusedPort);
    QFETCH(bool, library);
    QFETCH(QString, logged);
    QFETCH(qint64, remoteSize);
    World w;
    QVERIFY2(w.start(scenario), qPrintable(w.server.errorText()));
    w.seedKnownHost();
    const QByteArray lastWeek(123457, 'w');
    {
        QFile old(w.remote());
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write(lastWeek);
    }
    if (logged.contains(QStringLiteral("%1")))
        logged = logged.arg(w.folder.path());
    if (!library)
        QVERIFY(QFile::remove(w.folder.file(TTGPuttySFTP::libraryFileName())));
    BackupJob job = w.job(password);
    if (refusedPort)
        job.FTP_Port = closedPort();
    UploadUnderTest upload(w.log, w.errors, &w.window);
    QVERIFY(!upload.ftphochladen(job, w.archive, QStringLiteral("Lager3.ZIP")));
    const QString joined = w.log.lines.join(QLatin1Char('\n'));
    // The failure is the session's own text, one entry, with nothing added around it.
    QCOMPARE(w.log.lines
                 .filter(QRegularExpression(QRegularExpression::wildcardToRegularExpression(
                     logged, QRegularExpression::UnanchoredWildcardConversion)))
                 .size(),
             1);
    QVERIFY2(w.log.lines.filter(QStringLiteral("FEHLER: SFTP-Upload")).isEmpty(),
             qPrintable(joined));
    QVERIFY2(w.log.lines.filter(QStringLiteral("FEHLER: Die SFTP-Bibliothek")).isEmpty(),
             qPrintable(joined));
    QCOMPARE(w.log.lines.last(), QStringLiteral("Beende SFTP-Prozess für Datenbank: Lager3.ZIP"));
    QVERIFY(!joined.contains(password));
    if (remoteSize == -1) {
        QVERIFY2(!QFile::exists(w.remote()), qPrintable(joined));
    } else if (remoteSize == -3) {
        QFile old(w.remote());
        QVERIFY(old.open(QIODevice::ReadOnly));
        QVERIFY(old.readAll() == lastWeek);
    } else if (remoteSize >= 0) {
        QCOMPARE(QFileInfo(w.remote()).size(), remoteSize);
    }
    QCOMPARE(w.errors.value(), 0); // the run counts a failed upload once, after all attempts
}

QTEST_GUILESS_MAIN(TestSftpUpload)
#include "tst_sftpupload.moc"
