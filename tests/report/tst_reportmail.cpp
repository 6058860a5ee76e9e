#include "report/ReportMail.h"

#include "platform/DateText.h"

#include "ClosedPort.h"
#include "FakeClock.h"
#include "LineMatch.h"
#include "MemoryLog.h"
#include "SmtpTestServer.h"

#include <QJsonArray>
#include <QTcpServer>
#include <QTest>

namespace {

const QString kStamp = QStringLiteral("10.12.2026 14:03:05 ");

// The mail's content and account as the test sets them: the lines the log got, stamped and
// newest first, as the window shows them.
struct FakeSources : ReportContent, MailAccountSource {
    FakeSources(const MemoryLog& log, const GeneralSettings& settings, const MailAccount& account)
        : log(log), settings(settings), account(account) {}
    QStringList screenLines() override {
        QStringList lines;
        for (const QString& l : log.lines)
            lines.prepend(kStamp + l);
        return lines;
    }
    GeneralSettings generalSettings() override { return settings; }
    MailAccount mailAccount() override { return account; }
    const MemoryLog& log;
    const GeneralSettings& settings;
    const MailAccount& account;
};

// A report mail to the local server with a screen log of the test's own: the lines the log
// got, stamped and newest first, as the window shows them.
struct Fixture {
    explicit Fixture(const QJsonObject& scenario = SmtpTestServer::defaultScenario()) {
        started = server.start(scenario);
        account = MailAccount{QStringLiteral("127.0.0.1"),
                              server.port(),
                              QStringLiteral("berichte@orvel.test"),
                              QStringLiteral("report"),
                              QStringLiteral("geheim"),
                              server.caFile()};
        settings.EmpfaengerEmail = QStringLiteral("admin@firma.test");
        settings.VersenderName = QStringLiteral("Praxis Süd");
        mail = std::make_unique<ReportMail>(log, clock, sources, sources);
        mail->setTimeouts(5, 5);
    }

    void send(qint32 errors = 0) {
        mail->prepareCredentials();
        mail->send(errors);
    }

    // The one mail the server accepted.
    QJsonObject onlyMessage() const {
        const QList<QJsonObject> all = server.messages();
        if (all.size() != 1)
            qWarning() << "messages:" << all.size() << server.serverLog();
        return all.size() == 1 ? all.first() : QJsonObject();
    }

    SmtpTestServer server;
    bool started = false;
    MemoryLog log;
    FakeClock clock{QDateTime(QDate(2026, 12, 10), QTime(14, 3, 5))};
    GeneralSettings settings;
    MailAccount account;
    FakeSources sources{log, settings, account};
    std::unique_ptr<ReportMail> mail;
};

QStringList strings(const QJsonValue& v) {
    QStringList out;
    for (const QJsonValue& e : v.toArray())
        out << e.toString();
    return out;
}

const QStringList kSentLines{QStringLiteral("Email wird aufbereitet und verschickt"),
                             QStringLiteral("Email wurde aufbereitet"),
                             QStringLiteral("Email gesendet")};

} // namespace

class TestReportMail : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // The subject by the last run's error count, with the date, the time and the name; the
    // sender's display name; umlauts that arrive as ISO-8859-1 and read back right.
    void subjectAndSender_data() {
        QTest::addColumn<qint32>("errors");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QTime>("time");
        // %1: the date in the program-wide short format and the long time, none at midnight.
        QTest::addColumn<QString>("subject");
        QTest::addColumn<QString>("fromName");
        const QString sender = QStringLiteral("OrvelSQLBackup 4.0.0.0 ");
        QTest::newRow("no run yet or a clean one")
            << 0 << QStringLiteral("Praxis Süd") << QTime(14, 3, 5)
            << QStringLiteral("OrvelSQLBackup-Report %1 Praxis Süd")
            << sender + QStringLiteral("Praxis Süd");
        QTest::newRow("a run with errors")
            << 3 << QStringLiteral("Praxis Süd") << QTime(14, 3, 5)
            << QStringLiteral("ACHTUNG FEHLER bei OrvelSQLBackup %1 Praxis Süd")
            << sender + QStringLiteral("Praxis Süd");
        QTest::newRow("empty name: both end in a blank")
            << 0 << QString() << QTime(14, 3, 5) << QStringLiteral("OrvelSQLBackup-Report %1 ")
            << sender;
        QTest::newRow("midnight: no time")
            << 1 << QStringLiteral("Lager") << QTime(0, 0)
            << QStringLiteral("ACHTUNG FEHLER bei OrvelSQLBackup %1 Lager")
            << sender + QStringLiteral("Lager");
        QTest::newRow("a name with quotes and a long one")
            << 0 << QStringLiteral("\"Müller\" & Söhne, Zweigstelle Nord-Ost (Lager) 1234567")
            << QTime(14, 3, 5)
            << QStringLiteral("OrvelSQLBackup-Report %1 \"Müller\" & Söhne, "
                              "Zweigstelle Nord-Ost (Lager) 1234567")
            << sender + QStringLiteral("\"Müller\" & Söhne, Zweigstelle Nord-Ost (Lager) 1234567");
    }
    void subjectAndSender() {
        QFETCH(qint32, errors);
        QFETCH(QString, name);
        QFETCH(QTime, time);
        QFETCH(QString, subject);
        QFETCH(QString, fromName);
        Fixture f;
        QVERIFY2(f.started, qPrintable(f.server.errorText()));
        f.settings.VersenderName = name;
        f.clock.current.setTime(time);
        f.send(errors);
        QCOMPARE(f.log.lines, kSentLines);
        const QJsonObject m = f.onlyMessage();
        const QDateTime at(QDate(2026, 12, 10), time);
        QCOMPARE(m.value(QStringLiteral("subject")).toString(),
                 subject.arg(DateText::shortDateTime(at)));
        if (time == QTime(0, 0))
            QVERIFY(!subject.arg(DateText::shortDateTime(at)).contains(QLatin1Char(':')));
        QCOMPARE(m.value(QStringLiteral("from_name")).toString(), fromName);
        QCOMPARE(m.value(QStringLiteral("from_address")).toString(),
                 QStringLiteral("berichte@orvel.test"));
        QCOMPARE(m.value(QStringLiteral("mail_from")).toString(),
                 QStringLiteral("berichte@orvel.test"));
        // Logged in with the account, over TLS from the first byte.
        QVERIFY(f.server.commands().contains(QStringLiteral("AUTH LOGIN")));
    }

    // The layout: multipart/mixed in ISO-8859-1 whose preamble and one text part both carry
    // the screen log, newest line first; no line on the wire longer than SMTP allows, and the
    // text a reader sees is the log's, long lines, umlauts and leading dots intact.
    void messageCarriesTheScreenLog() {
        Fixture f;
        QVERIFY2(f.started, qPrintable(f.server.errorText()));
        const QString longLine =
            QStringLiteral("Fehler: ") + QString(1500, QLatin1Char('x')) + QStringLiteral(" Ende");
        f.log.writelogentry(QStringLiteral("Programm startet"));
        f.log.writelogentry(QStringLiteral(".Punkt am Anfang und Größe ÄÖÜ äöü ß"));
        f.log.writelogentry(longLine);
        f.log.writelogentry(QStringLiteral("Fehleranzahl: 0"));
        f.send();

        const QJsonObject m = f.onlyMessage();
        QCOMPARE(m.value(QStringLiteral("content_type")).toString(),
                 QStringLiteral("multipart/mixed"));
        QCOMPARE(m.value(QStringLiteral("charset")).toString(), QStringLiteral("iso-8859-1"));
        const QJsonArray parts = m.value(QStringLiteral("parts")).toArray();
        QCOMPARE(parts.size(), 1);
        const QJsonObject part = parts.first().toObject();
        QCOMPARE(part.value(QStringLiteral("content_type")).toString(),
                 QStringLiteral("text/plain"));
        QCOMPARE(part.value(QStringLiteral("charset")).toString(), QStringLiteral("iso-8859-1"));

        const QStringList expected{kStamp + QStringLiteral("Email wird aufbereitet und verschickt"),
                                   kStamp + QStringLiteral("Fehleranzahl: 0"), kStamp + longLine,
                                   kStamp + QStringLiteral(".Punkt am Anfang und Größe ÄÖÜ äöü ß"),
                                   kStamp + QStringLiteral("Programm startet")};
        QString text = part.value(QStringLiteral("text")).toString();
        text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
        QCOMPARE(text.split(QLatin1Char('\n'), Qt::SkipEmptyParts).join(QLatin1Char('|')),
                 expected.join(QLatin1Char('|')));

        // The preamble holds the same lines; the long one is broken where SMTP needs it.
        QString preamble = m.value(QStringLiteral("preamble")).toString();
        preamble.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
        QCOMPARE(preamble.remove(QLatin1Char('\n')), expected.join(QString()));

        const QString raw = m.value(QStringLiteral("raw")).toString();
        for (const QString& line : raw.split(QStringLiteral("\r\n")))
            QVERIFY2(line.toLatin1().size() <= 998, qPrintable(line.left(60)));
        QCOMPARE(raw.count(QStringLiteral("\r\n")), raw.count(QLatin1Char('\n')));
    }

    // Recipients as people type them: two by comma, two by semicolon, with display names,
    // quoted names and comments; each gets one RCPT TO with its bare address.
    void recipients_data() {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QStringList>("rcpt");
        QTest::newRow("comma") << QStringLiteral("a@firma.test, b@firma.test")
                               << QStringList{QStringLiteral("a@firma.test"),
                                              QStringLiteral("b@firma.test")};
        QTest::newRow("semicolon")
            << QStringLiteral("a@firma.test; b@firma.test")
            << QStringList{QStringLiteral("a@firma.test"), QStringLiteral("b@firma.test")};
        QTest::newRow("names, quotes, comments")
            << QStringLiteral("Jörg Admin <a@firma.test>; \"Müller, Hans\" <b@firma.test>, "
                              "c@firma.test (Büro)")
            << QStringList{QStringLiteral("a@firma.test"), QStringLiteral("b@firma.test"),
                           QStringLiteral("c@firma.test")};
    }
    void recipients() {
        QFETCH(QString, field);
        QFETCH(QStringList, rcpt);
        Fixture f;
        QVERIFY2(f.started, qPrintable(f.server.errorText()));
        f.settings.EmpfaengerEmail = field;
        f.send();
        QCOMPARE(f.log.lines, kSentLines);
        const QJsonObject m = f.onlyMessage();
        QCOMPARE(strings(m.value(QStringLiteral("rcpt_tos"))), rcpt);
        QStringList to;
        for (const QJsonValue& v : m.value(QStringLiteral("to")).toArray())
            to << v.toArray().at(1).toString();
        QCOMPARE(to, rcpt);
    }

    // A refused recipient is logged and the mail goes to the others; when every one is refused
    // the server's message and the failure line follow, and nothing is delivered.
    void refusedRecipients_data() {
        QTest::addColumn<QStringList>("refused");
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<QStringList>("delivered");
        QTest::newRow("one of two")
            << QStringList{QStringLiteral("alt@firma.test")}
            << QStringList{QStringLiteral("Email wird aufbereitet und verschickt"),
                           QStringLiteral("Email wurde aufbereitet"),
                           QStringLiteral("Fehlerhafte Emailadresse: alt@firma.test"),
                           QStringLiteral("Email gesendet")}
            << QStringList{QStringLiteral("neu@firma.test")};
        QTest::newRow("all")
            << QStringList{QStringLiteral("alt@firma.test"), QStringLiteral("neu@firma.test")}
            << QStringList{QStringLiteral("Email wird aufbereitet und verschickt"),
                           QStringLiteral("Email wurde aufbereitet"),
                           QStringLiteral("Fehlerhafte Emailadresse: alt@firma.test"),
                           QStringLiteral("Fehlerhafte Emailadresse: neu@firma.test"),
                           QStringLiteral("~Recipient address rejected"),
                           QStringLiteral("FEHLER beim Emailversand")}
            << QStringList{};
    }
    void refusedRecipients() {
        QFETCH(QStringList, refused);
        QFETCH(QStringList, lines);
        QFETCH(QStringList, delivered);
        QJsonObject scenario = SmtpTestServer::defaultScenario();
        scenario[QStringLiteral("refuse_recipients")] = QJsonArray::fromStringList(refused);
        Fixture f(scenario);
        QVERIFY2(f.started, qPrintable(f.server.errorText()));
        f.settings.EmpfaengerEmail = QStringLiteral("alt@firma.test; neu@firma.test");
        f.send();
        QCOMPARE(f.log.lines.size(), lines.size());
        QVERIFY2(missingInOrder(f.log.lines, lines).isEmpty(),
                 qPrintable(missingInOrder(f.log.lines, lines)));
        const QList<QJsonObject> messages = f.server.messages();
        QCOMPARE(messages.size(), delivered.isEmpty() ? 0 : 1);
        if (!delivered.isEmpty())
            QCOMPARE(strings(messages.first().value(QStringLiteral("rcpt_tos"))), delivered);
        QCOMPARE(f.server.commands().last(), QStringLiteral("QUIT"));
    }

    // An entry that holds no address is named as a refused address is; the others get the mail.
    void entryWithoutAddressIsNamed() {
        Fixture f;
        QVERIFY2(f.started, qPrintable(f.server.errorText()));
        f.settings.EmpfaengerEmail = QStringLiteral("Hans Müller; admin@firma.test");
        f.send();
        QCOMPARE(f.log.lines, (QStringList{QStringLiteral("Email wird aufbereitet und verschickt"),
                                           QStringLiteral("Email wurde aufbereitet"),
                                           QStringLiteral("Fehlerhafte Emailadresse: Hans Müller"),
                                           QStringLiteral("Email gesendet")}));
        QCOMPARE(strings(f.onlyMessage().value(QStringLiteral("rcpt_tos"))),
                 QStringList{QStringLiteral("admin@firma.test")});
    }

    // An empty field: two lines and no connection. A field of blanks counts as filled.
    void emptyRecipientField() {
        Fixture f;
        QVERIFY2(f.started, qPrintable(f.server.errorText()));
        f.settings.EmpfaengerEmail.clear();
        f.send();
        QCOMPARE(f.log.lines,
                 (QStringList{QStringLiteral("Email wird aufbereitet und verschickt"),
                              QStringLiteral("Empfänger-Email-Adresse ist nicht eingetragen")}));
        QCOMPARE(f.server.connections(), 0);

        f.log.lines.clear();
        f.settings.EmpfaengerEmail = QStringLiteral("   ");
        f.send();
        QCOMPARE(f.log.lines, (QStringList{QStringLiteral("Email wird aufbereitet und verschickt"),
                                           QStringLiteral("Email wurde aufbereitet"),
                                           QStringLiteral("Keine gültige Emailadresse in „   “"),
                                           QStringLiteral("FEHLER beim Emailversand")}));
    }

    // Every failure of the way to the server: the steps' lines, the failure's own message, the
    // failure line, and the sender goes on.
    void failures_data() {
        QTest::addColumn<QJsonObject>("scenario");
        QTest::addColumn<QString>("account");
        QTest::addColumn<QString>("message");
        const QJsonObject plain = SmtpTestServer::defaultScenario();
        QJsonObject refuseLogin = plain;
        refuseLogin[QStringLiteral("refuse_login")] = true;
        QJsonObject untrusted = plain;
        untrusted[QStringLiteral("untrusted_certificate")] = true;
        QJsonObject oldTls = plain;
        oldTls[QStringLiteral("tls_max_version")] = QStringLiteral("1.1");
        QTest::newRow("login refused") << refuseLogin << QString()
                                       << QStringLiteral("~Anmeldung am Mailserver abgelehnt: 535");
        QTest::newRow("untrusted certificate")
            << untrusted << QString()
            << QStringLiteral("~Zertifikat des Servers nicht vertrauenswürdig");
        QTest::newRow("server with TLS 1.1 only")
            << oldTls << QString() << QStringLiteral("~TLS-Verbindung zum Mailserver 127.0.0.1:");
        QJsonObject otherName = plain;
        otherName[QStringLiteral("certificate_for")] = QStringLiteral("mail.example.org");
        QTest::newRow("certificate for another host")
            << otherName << QString()
            << QStringLiteral("~Zertifikat des Servers nicht vertrauenswürdig");
        // An address Qt reads as one (127.0.0.1 written short) that OpenSSL cannot set for the
        // certificate check: a check without the name would take any certificate the authority
        // signed, so the connection is refused.
        QTest::newRow("server name the check cannot take")
            << plain << QStringLiteral("short address")
            << QStringLiteral("TLS-Verbindung zum Mailserver 127.1:%1 fehlgeschlagen: der Name "
                              "127.1 kann nicht für die Prüfung des Zertifikats gesetzt werden");
        QTest::newRow("nothing listens")
            << plain << QStringLiteral("closed port")
            << QStringLiteral("~Keine Verbindung zum Mailserver 127.0.0.1:");
        QTest::newRow("no account built in")
            << plain << QStringLiteral("none")
            << QStringLiteral("In dieses Programm ist kein vollständiges Mailkonto eingebaut "
                              "(beim Bauen fehlt: ORVEL_MAIL_HOST, ORVEL_MAIL_SENDER, "
                              "ORVEL_MAIL_USER, ORVEL_MAIL_PASSWORD)");
    }
    void failures() {
        QFETCH(QJsonObject, scenario);
        QFETCH(QString, account);
        QFETCH(QString, message);
        Fixture f(scenario);
        QVERIFY2(f.started, qPrintable(f.server.errorText()));
        if (account == QStringLiteral("closed port"))
            f.account.port = closedPort();
        else if (account == QStringLiteral("none"))
            f.account = MailAccount();
        else if (account == QStringLiteral("short address"))
            f.account.host = QStringLiteral("127.1");
        if (message.contains(QStringLiteral("%1")))
            message = message.arg(f.server.port());
        f.send();
        const QStringList expected{QStringLiteral("Email wird aufbereitet und verschickt"),
                                   QStringLiteral("Email wurde aufbereitet"), message,
                                   QStringLiteral("FEHLER beim Emailversand")};
        QCOMPARE(f.log.lines.size(), expected.size());
        QVERIFY2(missingInOrder(f.log.lines, expected).isEmpty(),
                 qPrintable(missingInOrder(f.log.lines, expected)));
        QVERIFY(f.server.messages().isEmpty());
        // The password never shows in a line.
        QVERIFY(!f.log.lines.join(QLatin1Char('\n')).contains(QStringLiteral("geheim")));
    }

    // A server that takes the connection and never answers: the wait ends with a message.
    void silentServerEnds() {
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        MemoryLog log;
        FakeClock clock{QDateTime(QDate(2026, 12, 10), QTime(14, 3, 5))};
        MemoryLog screen;
        screen.lines << QStringLiteral("x");
        GeneralSettings general;
        general.EmpfaengerEmail = QStringLiteral("a@firma.test");
        const MailAccount account{
            QStringLiteral("127.0.0.1"), silent.serverPort(), QStringLiteral("b@orvel.test"),
            QStringLiteral("u"),         QStringLiteral("p"), {}};
        FakeSources sources(screen, general, account);
        ReportMail mail(log, clock, sources, sources);
        mail.setTimeouts(1, 1);
        mail.send(0);
        QCOMPARE(log.lines.size(), 4);
        QVERIFY2(log.lines.at(2).contains(QStringLiteral("Zeitüberschreitung nach 1 s")),
                 qPrintable(log.lines.at(2)));
        QCOMPARE(log.lines.at(3), QStringLiteral("FEHLER beim Emailversand"));
    }
};

QTEST_GUILESS_MAIN(TestReportMail)
#include "tst_reportmail.moc"
