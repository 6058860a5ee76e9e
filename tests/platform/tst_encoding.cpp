#include "platform/Encoding.h"

#include <QtTest>

#include <clocale>
#include <string>

class TestEncoding : public QObject {
    Q_OBJECT

private slots:
    void windows1252_data();
    void windows1252();
    void everyByteReadsBackToItself();
};

void TestEncoding::windows1252_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");

    // Characters Windows-1252 holds keep exactly their byte, also those that iconv's
    // transliteration would otherwise turn into something plainer.
    QTest::newRow("umlauts") << QStringLiteral("Prüfe ÄÖÜß")
                             << QByteArray("Pr\xFC"
                                           "fe \xC4\xD6\xDC\xDF");
    QTest::newRow("euro and dash")
        << QStringLiteral("€ – „x“") << QByteArray("\x80 \x96 \x84x\x93");
    QTest::newRow("ellipsis, Š, œ, Ÿ, ™")
        << QStringLiteral("… Š œ Ÿ ™") << QByteArray("\x85 \x8A \x9C \x9F \x99");
    QTest::newRow("no equivalent") << QStringLiteral("漢字 ok 😀") << QByteArray("?? ok ?");
    QTest::newRow("empty") << QString() << QByteArray();
    QTest::newRow("polish") << QStringLiteral("Łódź, Żółć")
                            << QByteArray("L\xF3"
                                          "dz, Z\xF3lc");
    QTest::newRow("hungarian and czech")
        << QStringLiteral("Erdős Dvořák ůř") << QByteArray("Erdos Dvor\xE1k ur");
    QTest::newRow("romanian, croatian, turkish")
        << QStringLiteral("Ștefan Țară Đurić ığİ") << QByteArray("Stefan Tara Duric igI");
    // Neither has a decomposition: only iconv knows them, and for ŋ only with a UTF-8 locale.
    QTest::newRow("arrow, eng") << QStringLiteral("a → b, Ŋŋ") << QByteArray("a -> b, Nn");
    QTest::newRow("unconvertible in the middle keeps the rest")
        << QStringLiteral("Kunde 漢 Łukasz € „ok“") << QByteArray("Kunde ? Lukasz \x80 \x84ok\x93");
    // Decomposed input (as macOS file names have it) is composed first.
    QTest::newRow("e with combining acute")
        << QStringLiteral("Cafe\u0301 o\u030B") << QByteArray("Caf\xE9 o");
    QTest::newRow("lone surrogate") << QString(QChar(0xD800)) + "x" << QByteArray("?x");
}

// Every row under the "C" locale (where glibc's own transliteration gives '?' for most letters)
// and under a UTF-8 one: the log book must not depend on how the program was started.
void TestEncoding::windows1252() {
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);

    const std::string before = std::setlocale(LC_ALL, nullptr);
    for (const char* locale : {"C", "C.UTF-8"}) {
        QVERIFY2(std::setlocale(LC_ALL, locale), locale);
        const QByteArray result = Encoding::toWindows1252(text);
        std::setlocale(LC_ALL, before.c_str());
        QVERIFY2(result == bytes, qPrintable(QStringLiteral("%1: %2").arg(
                                      locale, QString::fromLatin1(result.toHex(' ')))));
    }
}

// The INI file is read with fromWindows1252 and written with toWindows1252: no byte may change.
void TestEncoding::everyByteReadsBackToItself() {
    QByteArray all;
    for (int b = 1; b < 256; ++b)
        all.append(char(b));
    QCOMPARE(Encoding::toWindows1252(Encoding::fromWindows1252(all)), all);
    QCOMPARE(Encoding::fromWindows1252("\x80\x84\x9F\xE4"), QStringLiteral("€„Ÿä"));
}

QTEST_APPLESS_MAIN(TestEncoding)
#include "tst_encoding.moc"
