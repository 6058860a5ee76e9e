#include "report/MailAccount.h"

#include "ScrambledTexts.h"

#include <QTest>

class TestMailAccount : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // What the build scrambles, the program gets back byte for byte, and the bytes compiled in
    // do not hold the text in the clear.
    void scrambledTextsComeBack() {
        const QString text = QStringLiteral("Benutzer@Mailhost; Päßwort \"x\" \\ ✓");
        QCOMPARE(MailAccount::unscramble(scrambled, scrambledLength), text);
        const QByteArray stored(reinterpret_cast<const char*>(scrambled), scrambledLength);
        QCOMPARE(stored.size(), text.toUtf8().size());
        QVERIFY(!stored.contains("Mailhost"));
        QVERIFY(!stored.contains("Benutzer"));
        QCOMPARE(MailAccount::unscramble(scrambledEmpty, scrambledEmptyLength), QString());
    }

    void missingSettingsAreNamed() {
        MailAccount a;
        QCOMPARE(a.missingSettings(),
                 QStringLiteral("ORVEL_MAIL_HOST, ORVEL_MAIL_SENDER, ORVEL_MAIL_USER, "
                                "ORVEL_MAIL_PASSWORD"));
        a = MailAccount{QStringLiteral("smtp.example.org"),
                        465,
                        QStringLiteral("b@example.org"),
                        QStringLiteral("u"),
                        QStringLiteral("p"),
                        {}};
        QCOMPARE(a.missingSettings(), QString());
    }
};

QTEST_GUILESS_MAIN(TestMailAccount)
#include "tst_mailaccount.moc"
