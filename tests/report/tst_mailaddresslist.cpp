#include "report/MailAddressList.h"

#include <QTest>

using Addresses = QList<MailAddress>;

class TestMailAddressList : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void parse_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<Addresses>("expected");
        const MailAddress a{{}, QStringLiteral("a@x.de")};
        const MailAddress b{{}, QStringLiteral("b@y.de")};
        QTest::newRow("comma and blank") << QStringLiteral("a@x.de, b@y.de") << Addresses{a, b};
        QTest::newRow("semicolon and blank") << QStringLiteral("a@x.de; b@y.de") << Addresses{a, b};
        QTest::newRow("no blanks, both separators")
            << QStringLiteral("a@x.de;b@y.de,c@z.de")
            << Addresses{a, b, {{}, QStringLiteral("c@z.de")}};
        QTest::newRow("blanks and empty entries")
            << QStringLiteral("  a@x.de  ;; , b@y.de ;") << Addresses{a, b};
        QTest::newRow("display names")
            << QStringLiteral("Max Muster <a@x.de>; Büro <b@y.de>")
            << Addresses{{QStringLiteral("Max Muster"), QStringLiteral("a@x.de")},
                         {QStringLiteral("Büro"), QStringLiteral("b@y.de")}};
        QTest::newRow("quoted names hold separators and escapes")
            << QStringLiteral("\"Müller, Hans; IT\" <a@x.de>, \"Der \\\"Chef\\\"\" <b@y.de>")
            << Addresses{{QStringLiteral("Müller, Hans; IT"), QStringLiteral("a@x.de")},
                         {QStringLiteral("Der \"Chef\""), QStringLiteral("b@y.de")}};
        QTest::newRow("comments, nested and with separators")
            << QStringLiteral("a@x.de (Büro; Zentrale), (Chef (privat)) b@y.de") << Addresses{a, b};
        QTest::newRow("blanks inside the brackets")
            << QStringLiteral("Max < a@x.de >") << Addresses{{QStringLiteral("Max"), a.address}};
        QTest::newRow("name without brackets")
            << QStringLiteral("Max a@x.de") << Addresses{{QStringLiteral("Max"), a.address}};
        QTest::newRow("brackets only") << QStringLiteral("<a@x.de>") << Addresses{a};
        QTest::newRow("a local name goes to the server as it is")
            << QStringLiteral("postmaster") << Addresses{{{}, QStringLiteral("postmaster")}};
        QTest::newRow("blanks only") << QStringLiteral("   ") << Addresses{};
        QTest::newRow("separators and a name only")
            << QStringLiteral(" ; \"Max\" ,") << Addresses{};
    }
    void parse() {
        QFETCH(QString, text);
        QFETCH(Addresses, expected);
        QCOMPARE(parseAddressList(text), expected);
    }
};

QTEST_GUILESS_MAIN(TestMailAddressList)
#include "tst_mailaddresslist.moc"
