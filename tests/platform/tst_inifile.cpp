#include "TempFolder.h"
#include "platform/IniFile.h"
#include "platform/ProgramError.h"

#include <QFile>
#include <QtTest>

#include <sys/stat.h>

namespace {

const QString kMissing = QStringLiteral("<missing>");

void writeBytes(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    QCOMPARE(f.write(bytes), bytes.size());
}

QByteArray readBytes(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

} // namespace

class TestIniFile : public QObject {
    Q_OBJECT

private slots:
    void setValue_data();
    void setValue();
    void value_data();
    void value();
    void folderInTheWayIsRefused();
    void linkInPlaceOfTheFileIsNotWrittenThrough_data();
    void linkInPlaceOfTheFileIsNotWrittenThrough();
    void permissionsAreKept();
};

// Each row: the file before (null: no file), the value set, the file's bytes afterwards.
void TestIniFile::setValue_data() {
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QByteArray>("after");

    QTest::newRow("comments and CR LF kept")
        << QByteArray(
               "; Einstellungen\r\n[Pfade]\r\n# alt\r\nZiel=C:\\alt\r\n\r\n[Mail]\r\nPort=25\r\n")
        << "Pfade"
        << "Ziel"
        << "D:\\Sicherung"
        << QByteArray("; Einstellungen\r\n[Pfade]\r\n# "
                      "alt\r\nZiel=D:\\Sicherung\r\n\r\n[Mail]\r\nPort=25\r\n");
    // QSettings would write "Mein%20Schl%FCssel" and "100%25" here.
    QTest::newRow("other sections' keys with spaces and % untouched")
        << QByteArray("[Fremd Programm]\nMein Schl\xFC"
                      "ssel = 100%\n[Orvel]\nPfad=x\n")
        << "Orvel"
        << "Pfad"
        << "y"
        << QByteArray("[Fremd Programm]\nMein Schl\xFC"
                      "ssel = 100%\n[Orvel]\nPfad=y\n");
    QTest::newRow("case-insensitive match keeps the file's spelling and blanks")
        << QByteArray("[INTERNET]\r\n  KeyPath = /alt \r\n") << "internet"
        << "keypath"
        << "/neu" << QByteArray("[INTERNET]\r\n  KeyPath = /neu\r\n");
    QTest::newRow("key added after the section's last entry")
        << QByteArray("[A]\nx=1\n\n; zu B\n[B]\ny=2\n") << "a"
        << "z"
        << "3" << QByteArray("[A]\nx=1\nz=3\n\n; zu B\n[B]\ny=2\n");
    QTest::newRow("key added to a section without entries")
        << QByteArray("[A]\r\n[B]\r\ny=2\r\n") << "A"
        << "z"
        << "3" << QByteArray("[A]\r\nz=3\r\n[B]\r\ny=2\r\n");
    QTest::newRow("section appended, LF file") << QByteArray("[A]\nx=1\n") << "B"
                                               << "y"
                                               << "2" << QByteArray("[A]\nx=1\n[B]\ny=2\n");
    QTest::newRow("missing file created with CR LF")
        << QByteArray() << "Orvel"
        << "Pfad"
        << "C:\\x" << QByteArray("[Orvel]\r\nPfad=C:\\x\r\n");
    QTest::newRow("value changed in a last line without line end")
        << QByteArray("[A]\r\nx=1") << "A"
        << "x"
        << "22" << QByteArray("[A]\r\nx=22");
    QTest::newRow("key added after a last line without line end")
        << QByteArray("[A]\r\nx=1") << "A"
        << "y"
        << "2" << QByteArray("[A]\r\nx=1\r\ny=2\r\n");
    QTest::newRow("section appended after a last line without line end")
        << QByteArray("[A]\nx=1") << "B"
        << "y"
        << "2" << QByteArray("[A]\nx=1\n[B]\ny=2\n");
    QTest::newRow("UTF-8 BOM kept, value written as UTF-8")
        << QByteArray("\xEF\xBB\xBF[A]\r\nx=1\r\n") << "A"
        << "x" << QStringLiteral("Müller") << QByteArray("\xEF\xBB\xBF[A]\r\nx=M\xC3\xBCller\r\n");
    QTest::newRow("value written as Windows-1252")
        << QByteArray("[A]\r\nx=1\r\n") << "A"
        << "x" << QStringLiteral("Müller €") << QByteArray("[A]\r\nx=M\xFCller \x80\r\n");
    QTest::newRow("first of two sections of the same name")
        << QByteArray("[A]\nx=1\n[B]\n[a]\nx=2\n") << "A"
        << "x"
        << "9" << QByteArray("[A]\nx=9\n[B]\n[a]\nx=2\n");
    QTest::newRow("commented-out key is not the key") << QByteArray("[A]\n;x=1\n") << "A"
                                                      << "x"
                                                      << "2" << QByteArray("[A]\nx=2\n;x=1\n");
    QTest::newRow("line break in the value stays on one line")
        << QByteArray("[A]\nx=1\n") << "A"
        << "x"
        << "a\nb" << QByteArray("[A]\nx=a b\n");
}

void TestIniFile::setValue() {
    QFETCH(QByteArray, before);
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(QByteArray, after);

    TempFolder folder;
    const QString path = folder.file("OrvelSQLBackup.INI");
    if (!before.isNull())
        writeBytes(path, before);
    IniFile ini(path);
    QCOMPARE(ini.path(), path);
    ini.setValue(section, key, value);
    QCOMPARE(readBytes(path), after);
    QCOMPARE(ini.value(section, key), std::optional<QString>(value.simplified()));
}

void TestIniFile::value_data() {
    QTest::addColumn<QByteArray>("content"); // null: no file
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("expected"); // kMissing for std::nullopt

    const QByteArray file(
        "\xEF\xBB\xBF; Kopf\r\nvorab=0\r\n[Internet]\r\n  Key Path =\t/a b/c  \r\n"
        "Leer=\r\n[Namen]\r\nKunde=M\xFCller \x84Z\x93\r\n[internet]\r\nExtra=1");
    QTest::newRow("trimmed, any case") << file << "INTERNET"
                                       << "key path"
                                       << "/a b/c";
    QTest::newRow("empty value") << file << "Internet"
                                 << "Leer"
                                 << "";
    QTest::newRow("letters read as text")
        << QByteArray("[Namen]\nKunde=M\xFCller \x84Z\x93\n") << "Namen"
        << "Kunde" << QStringLiteral("Müller „Z“");
    QTest::newRow("key in a second section of the same name") << file << "Internet"
                                                              << "Extra" << kMissing;
    QTest::newRow("line before any section") << file << ""
                                             << "vorab" << kMissing;
    QTest::newRow("missing key") << file << "Namen"
                                 << "Ort" << kMissing;
    QTest::newRow("missing section") << file << "Mail"
                                     << "Port" << kMissing;
    QTest::newRow("missing file") << QByteArray() << "Internet"
                                  << "Key Path" << kMissing;
}

void TestIniFile::value() {
    QFETCH(QByteArray, content);
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, expected);

    TempFolder folder;
    const QString path = folder.file("OrvelSQLBackup.INI");
    if (!content.isNull())
        writeBytes(path, content);
    const std::optional<QString> read = IniFile(path).value(section, key);
    QCOMPARE(read.value_or(kMissing), expected);
}

// A folder where the file should be: no value, a refusal with the path, the folder untouched.
void TestIniFile::folderInTheWayIsRefused() {
    TempFolder folder;
    const QString path = folder.file("OrvelSQLBackup.INI");
    QVERIFY(QDir().mkdir(path));
    IniFile ini(path);
    QCOMPARE(ini.value("A", "x"), std::nullopt);
    try {
        ini.setValue("A", "x", "1");
        QFAIL("no exception");
    } catch (const ProgramError& e) {
        QCOMPARE(e.message(), "In " + path + " kann nicht geschrieben werden");
    }
    QVERIFY(QFileInfo(path).isDir());
    QCOMPARE(QDir(folder.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
             QStringList{"OrvelSQLBackup.INI"});
}

void TestIniFile::linkInPlaceOfTheFileIsNotWrittenThrough_data() {
    QTest::addColumn<bool>("dangling");
    QTest::newRow("to a file") << false;
    QTest::newRow("to nothing yet") << true;
}

// A symbolic link planted as the INI file: the write fails with the message that names the
// file, and what the link points to is neither changed nor made.
void TestIniFile::linkInPlaceOfTheFileIsNotWrittenThrough() {
    QFETCH(bool, dangling);
    TempFolder folder;
    TempFolder elsewhere;
    const QString target = elsewhere.file("fremd");
    if (!dangling)
        writeBytes(target, "unberührt");
    const QString path = folder.file("OrvelSQLBackup.INI");
    QVERIFY(QFile::link(target, path));
    try {
        IniFile(path).setValue("OrvelSQLBackup", "Internet", "0");
        QFAIL("no exception");
    } catch (const ProgramError& e) {
        QCOMPARE(e.message(), "In " + path + " kann nicht geschrieben werden");
    }
    QCOMPARE(QFileInfo::exists(target), !dangling);
    if (!dangling)
        QCOMPARE(readBytes(target), QByteArray("unberührt"));
    QVERIFY(QFileInfo(path).isSymLink());
    QCOMPARE(QDir(folder.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System),
             QStringList{"OrvelSQLBackup.INI"});
}

// The file is replaced by a new one on every write; that one must not be more open than before.
void TestIniFile::permissionsAreKept() {
    TempFolder folder;
    const QString path = folder.file("OrvelSQLBackup.INI");
    writeBytes(path, "[A]\nx=1\n");
    QCOMPARE(::chmod(QFile::encodeName(path).constData(), 0600), 0);
    IniFile(path).setValue("A", "x", "2");
    struct stat st {};
    QCOMPARE(::stat(QFile::encodeName(path).constData(), &st), 0);
    QCOMPARE(st.st_mode & 0777, mode_t(0600));
}

QTEST_APPLESS_MAIN(TestIniFile)
#include "tst_inifile.moc"
