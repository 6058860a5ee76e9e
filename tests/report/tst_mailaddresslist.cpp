#include "report/MailAddressList.h"

#include <QTest>

using Addresses = QList<MailAddress>;

class TestMailAddressList : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void parse_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<Addresses>("expected");
        QTest::addColumn<QStringList>("unusable"); // entries without an address, as typed
        const MailAddress a{{}, QStringLiteral("a@x.de")};
        const MailAddress b{{}, QStringLiteral("b@y.de")};
        const QStringList none;
        QTest::newRow("comma and blank")
            << QStringLiteral("a@x.de, b@y.de") << Addresses{a, b} << none;
        QTest::newRow("semicolon and blank")
            << QStringLiteral("a@x.de; b@y.de") << Addresses{a, b} << none;
        QTest::newRow("no blanks, both separators")
            << QStringLiteral("a@x.de;b@y.de,c@z.de")
            << Addresses{a, b, {{}, QStringLiteral("c@z.de")}} << none;
        QTest::newRow("blanks and empty entries")
            << QStringLiteral("  a@x.de  ;; , b@y.de ;") << Addresses{a, b} << none;
        QTest::newRow("display names")
            << QStringLiteral("Max Muster <a@x.de>; Büro <b@y.de>")
            << Addresses{{QStringLiteral("Max Muster"), QStringLiteral("a@x.de")},
                         {QStringLiteral("Büro"), QStringLiteral("b@y.de")}}
            << none;
        QTest::newRow("quoted names hold separators and escapes")
            << QStringLiteral("\"Müller, Hans; IT\" <a@x.de>, \"Der \\\"Chef\\\"\" <b@y.de>")
            << Addresses{{QStringLiteral("Müller, Hans; IT"), QStringLiteral("a@x.de")},
                         {QStringLiteral("Der \"Chef\""), QStringLiteral("b@y.de")}}
            << none;
        QTest::newRow("comments, nested and with separators")
            << QStringLiteral("a@x.de (Büro; Zentrale), (Chef (privat)) b@y.de") << Addresses{a, b}
            << none;
        QTest::newRow("blanks inside the brackets")
            << QStringLiteral("Max < a@x.de >") << Addresses{{QStringLiteral("Max"), a.address}}
            << none;
        QTest::newRow("name without brackets")
            << QStringLiteral("Max a@x.de") << Addresses{{QStringLiteral("Max"), a.address}}
            << none;
        QTest::newRow("brackets only") << QStringLiteral("<a@x.de>") << Addresses{a} << none;
        QTest::newRow("a local name goes to the server as it is")
            << QStringLiteral("postmaster") << Addresses{{{}, QStringLiteral("postmaster")}}
            << none;
        QTest::newRow("blanks only") << QStringLiteral("   ") << Addresses{} << none;
        QTest::newRow("separators and a name only")
            << QStringLiteral(" ; \"Max\" ,") << Addresses{}
            << QStringList{QStringLiteral("\"Max\"")};
        QTest::newRow("a name without an address")
            << QStringLiteral("Hans Müller; a@x.de") << Addresses{a}
            << QStringList{QStringLiteral("Hans Müller")};
        QTest::newRow("empty brackets, a comment alone")
            << QStringLiteral("Max <>, (Büro) ;b@y.de") << Addresses{b}
            << QStringList{QStringLiteral("Max <>"), QStringLiteral("(Büro)")};
        QTest::newRow("a quoted name holding a separator")
            << QStringLiteral("a@x.de, \"Müller; Hans\"") << Addresses{a}
            << QStringList{QStringLiteral("\"Müller; Hans\"")};
    }
    void parse() {
        QFETCH(QString, text);
        QFETCH(Addresses, expected);
        QFETCH(QStringList, unusable);
        QStringList left;
        QCOMPARE(parseAddressList(text, &left), expected);
        QCOMPARE(left, unusable);
    }
};

QTEST_GUILESS_MAIN(TestMailAddressList)
#include "tst_mailaddresslist.moc"
