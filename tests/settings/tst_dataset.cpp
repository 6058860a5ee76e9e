#include "MemoryLog.h"
#include "SettingsFiles.h"
#include "TempFolder.h"
#include "platform/ProgramError.h"
#include "settings/SettingsDatabase.h"

#include <QtTest>
#include <chrono>
#include <latch>
#include <memory>
#include <thread>

using namespace SettingsFiles;

namespace {

// A settings file after its first start, with the datasets open.
struct Settings {
    TempFolder folder;
    MemoryLog log;
    std::unique_ptr<SettingsDatabase> db;

    Settings() { reopen(true); }
    QString path() const { return folder.file(QStringLiteral("sqlback.mdb")); }
    Dataset& jobs() { return db->queryDatenbanken; }
    Dataset& general() { return db->queryBenutzerdaten; }
    // Starts over as the next program start would.
    void reopen(bool create = false) {
        db.reset();
        if (create)
            SettingsDatabase::CreateAccessDatabase(path());
        db = std::make_unique<SettingsDatabase>(log, folder.path());
        db->checkdatabase();
    }
    // Adds jobs behind the dataset's back, then reads them in.
    void addJobs(const QStringList& names) {
        QStringList statements;
        for (const QString& name : names)
            statements.append(
                QStringLiteral(
                    "INSERT INTO sqldatenbanken (DBName, DBServer, DBBenutzer, DBPasswort) "
                    "VALUES ('%1', 'srv', 'sa', 'pw')")
                    .arg(name));
        QVERIFY(exec(path(), statements));
        jobs().close();
        jobs().open();
    }
    QStringList jobNames() {
        return rows(path(), QStringLiteral("SELECT DBName FROM sqldatenbanken"));
    }
};

void fillJob(Dataset& jobs, const QString& name) {
    jobs.field("DBName").setValue(name);
    jobs.field("DBServer").setValue("srv\\SQLEXPRESS");
    jobs.field("DBBenutzer").setValue("sa");
    jobs.field("DBPasswort").setValue("geheim");
}

QString refusal(const std::function<void()>& action) {
    try {
        action();
    } catch (const ProgramError& e) {
        return e.message();
    }
    return QString();
}

} // namespace

class TestDataset : public QObject {
    Q_OBJECT

private slots:
    void statesEditAndCancel();
    void newRowCancelledOrPosted();
    void postWritesOnlyWhatChanged();
    void valuesReadBackAfterReopening_data();
    void valuesReadBackAfterReopening();
    void dateTimeReadsBackExactly();
    void typedValues_data();
    void typedValues();
    void refusals_data();
    void refusals();
    void hooks();
    void movingAwayStoresOrDrops();
    void removeDeletesAtOnce();
    void navigation();
    void observers();
    void rowChangedByAnotherProgram_data();
    void rowChangedByAnotherProgram();
    void briefLockAtPostIsWaitedFor();
    void lockOutlastingTheWaitRefusesPost();
};

void TestDataset::statesEditAndCancel() {
    Settings s;
    s.addJobs({"A"});
    Dataset& jobs = s.jobs();
    QCOMPARE(jobs.state(), DatasetState::Browse);
    QVERIFY(!jobs.hasPendingChanges());
    QVERIFY_THROWS_EXCEPTION(ProgramError, jobs.field("DBServer").setValue("x"));

    jobs.edit();
    QCOMPARE(jobs.state(), DatasetState::Edit);
    QVERIFY(jobs.hasPendingChanges());
    QVERIFY(!jobs.modified());
    jobs.field("DBServer").setValue("anders");
    QVERIFY(jobs.modified());
    QCOMPARE(jobs.field("DBServer").asString(), QString("anders"));
    jobs.cancel();
    QCOMPARE(jobs.state(), DatasetState::Browse);
    QCOMPARE(jobs.field("DBServer").asString(), QString("srv"));
    QCOMPARE(rows(s.path(), "SELECT DBServer FROM sqldatenbanken"), QStringList{"srv"});

    jobs.close();
    QCOMPARE(jobs.state(), DatasetState::Inactive);
    QVERIFY(!jobs.isOpen());
    QVERIFY_THROWS_EXCEPTION(ProgramError, jobs.edit());
}

void TestDataset::newRowCancelledOrPosted() {
    Settings s;
    Dataset& jobs = s.jobs();
    QVERIFY(jobs.isEmpty());

    // Editing an empty dataset starts a new row.
    jobs.edit();
    QCOMPARE(jobs.state(), DatasetState::Insert);
    QCOMPARE(jobs.recordCount(), 1);
    QVERIFY(jobs.field("DBName").isNull());
    jobs.cancel();
    QCOMPARE(jobs.state(), DatasetState::Browse);
    QVERIFY(jobs.isEmpty());
    QCOMPARE(jobs.recNo(), -1);

    jobs.append();
    fillJob(jobs, "Kunden");
    jobs.post();
    QCOMPARE(jobs.state(), DatasetState::Browse);
    QCOMPARE(jobs.recordCount(), 1);
    QCOMPARE(rows(s.path(),
                  "SELECT DBName, DBServer, DBBenutzer, DBPasswort, FTP_Port FROM sqldatenbanken"),
             QStringList{"Kunden|srv\\SQLEXPRESS|sa|geheim|NULL"});

    // Insert places the new row before the current one; cancelling returns to where it was.
    jobs.insert();
    QCOMPARE(jobs.recNo(), 0);
    QCOMPARE(jobs.recordCount(), 2);
    jobs.cancel();
    QCOMPARE(jobs.recordCount(), 1);
    QCOMPARE(jobs.field("DBName").asString(), QString("Kunden"));

    // The general-settings row gets its number from the table.
    QCOMPARE(s.general().field("ID").asInteger(), 1);
}

void TestDataset::postWritesOnlyWhatChanged() {
    Settings s;
    s.addJobs({"A"});
    Dataset& jobs = s.jobs();
    // Another program changes a column the user does not touch.
    QVERIFY(exec(s.path(), {"UPDATE sqldatenbanken SET FTP_Pfad='/fremd' WHERE DBName='A'"}));

    jobs.edit();
    jobs.field("DBServer").setValue("neu");
    jobs.post();
    QCOMPARE(rows(s.path(), "SELECT DBServer, FTP_Pfad FROM sqldatenbanken"),
             QStringList{"neu|/fremd"});

    // An edit without a change writes nothing and ends the edit.
    jobs.edit();
    jobs.post();
    QCOMPARE(jobs.state(), DatasetState::Browse);
}

void TestDataset::valuesReadBackAfterReopening_data() {
    QTest::addColumn<QString>("fieldName");
    QTest::addColumn<QVariant>("value");

    QTest::newRow("text with umlauts") << "DBServer" << QVariant(QString("Größe\\Ärger ß €"));
    QTest::newRow("integer") << "FTP_Port" << QVariant(2121);
    QTest::newRow("negative integer") << "FTP_SSL" << QVariant(-5);
    QTest::newRow("boolean true") << "FTP_aktiv" << QVariant(true);
    QTest::newRow("boolean false") << "ZIP_erstellen" << QVariant(false);
    QTest::newRow("empty text is not NULL") << "FTP_Pfad" << QVariant(QString(""));
    QTest::newRow("NULL") << "ZIP_Dateiname" << QVariant();
    QTest::newRow("text of full size") << "FTP_Pfad" << QVariant(QString(150, QChar(0x00e4)));
    QTest::newRow("quotes and semicolons")
        << "FTP_Passwort" << QVariant(QString("a'b\";DROP TABLE x;--"));
}

void TestDataset::valuesReadBackAfterReopening() {
    QFETCH(QString, fieldName);
    QFETCH(QVariant, value);
    Settings s;
    s.jobs().append();
    fillJob(s.jobs(), "Job");
    s.jobs().field("ZIP_Dateiname").setValue("vorher");
    s.jobs().post();
    s.jobs().edit();
    s.jobs().field(fieldName).setValue(value);
    s.jobs().post();

    s.reopen();
    QCOMPARE(s.jobs().recordCount(), 1);
    const QVariant read = s.jobs().field(fieldName).value();
    QCOMPARE(read.isValid(), value.isValid());
    if (value.isValid()) {
        QCOMPARE(read.typeId(), value.typeId());
        QCOMPARE(read, value);
    }
}

void TestDataset::dateTimeReadsBackExactly() {
    Settings s;
    s.db->dbbefehl("CREATE TABLE termine (Nr INTEGER IDENTITY(1,1) PRIMARY KEY, Zeit DATETIME)");
    Dataset termine(QStringLiteral("select * FROM termine"));
    termine.setConnection(&s.db->ADOConnection1);
    termine.open();
    const QDateTime times[] = {QDateTime(QDate(2016, 8, 15), QTime(0, 0)),
                               QDateTime(QDate(2024, 2, 29), QTime(23, 59, 58, 123))};
    for (const QDateTime& t : times) {
        termine.append();
        termine.field("Zeit").setValue(t);
        termine.post();
    }
    termine.close();
    termine.open();
    QCOMPARE(termine.recordCount(), 2);
    QCOMPARE(termine.field("Zeit").asDateTime(), times[0]);
    termine.next();
    QCOMPARE(termine.field("Zeit").asDateTime(), times[1]);
    // Stored as text that sorts like the time.
    QCOMPARE(rows(s.path(), "SELECT Zeit FROM termine ORDER BY Zeit"),
             (QStringList{"2016-08-15 00:00:00", "2024-02-29 23:59:58.123"}));
}

void TestDataset::typedValues_data() {
    QTest::addColumn<QString>("fieldName");
    QTest::addColumn<QVariant>("given");
    QTest::addColumn<QVariant>("stored"); // invalid: refused

    QTest::newRow("number text into integer") << "FTP_Port" << QVariant(" 990 ") << QVariant(990);
    QTest::newRow("word into integer") << "FTP_Port" << QVariant("einundzwanzig") << QVariant();
    QTest::newRow("fraction into integer") << "FTP_Port" << QVariant(21.5) << QVariant();
    QTest::newRow("bool into integer") << "FTP_Passiv" << QVariant(true) << QVariant(1);
    QTest::newRow("True text into boolean") << "FTP_aktiv" << QVariant("True") << QVariant(true);
    QTest::newRow("0 into boolean") << "FTP_aktiv" << QVariant(0) << QVariant(false);
    QTest::newRow("word into boolean") << "FTP_aktiv" << QVariant("vielleicht") << QVariant();
    QTest::newRow("number into text") << "DBServer" << QVariant(42) << QVariant(QString("42"));
}

void TestDataset::typedValues() {
    QFETCH(QString, fieldName);
    QFETCH(QVariant, given);
    QFETCH(QVariant, stored);
    Settings s;
    s.addJobs({"A"});
    s.jobs().edit();
    if (!stored.isValid()) {
        QVERIFY(!refusal([&] { s.jobs().field(fieldName).setValue(given); }).isEmpty());
        QVERIFY(s.jobs().field(fieldName).isNull());
        return;
    }
    s.jobs().field(fieldName).setValue(given);
    QCOMPARE(s.jobs().field(fieldName).value(), stored);
    s.jobs().post();
    s.reopen();
    QCOMPARE(s.jobs().field(fieldName).value(), stored);
}

void TestDataset::refusals_data() {
    QTest::addColumn<bool>("newRow"); // a new row, or an edit of the stored job "A"
    QTest::addColumn<QString>("fieldName");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QString>("message"); // a part of the refusal; empty: accepted

    QTest::newRow("required left NULL") << true << "DBServer" << QVariant() << "DBServer";
    QTest::newRow("required left empty")
        << true << "DBPasswort" << QVariant(QString("")) << "DBPasswort";
    QTest::newRow("required cleared") << false << "DBBenutzer" << QVariant() << "DBBenutzer";
    QTest::newRow("required emptied") << false << "DBServer" << QVariant(QString("")) << "DBServer";
    QTest::newRow("existing DBName") << true << "DBName" << QVariant("A") << "DBName";
    QTest::newRow("existing DBName in other case") << true << "DBName" << QVariant("a") << "DBName";
    QTest::newRow("renamed onto another job") << false << "DBName" << QVariant("B") << "DBName";
    QTest::newRow("text one too long") << true << "DBName" << QVariant(QString(51, 'n')) << "50";
    QTest::newRow("path one too long")
        << false << "FTP_Pfad" << QVariant(QString(151, '/')) << "150";
    QTest::newRow("text at its size") << true << "DBName" << QVariant(QString(50, 'n')) << "";
    QTest::newRow("renamed") << false << "DBName" << QVariant("C") << "";
}

void TestDataset::refusals() {
    QFETCH(bool, newRow);
    QFETCH(QString, fieldName);
    QFETCH(QVariant, value);
    QFETCH(QString, message);
    Settings s;
    s.addJobs({"A", "B"});
    Dataset& jobs = s.jobs();
    const QStringList before = rows(s.path(), "SELECT * FROM sqldatenbanken");

    if (newRow) {
        jobs.append();
        fillJob(jobs, "Neu");
    } else {
        jobs.first();
        jobs.edit();
    }
    jobs.field(fieldName).setValue(value);
    const QString refused = refusal([&] { jobs.post(); });

    if (message.isEmpty()) {
        QCOMPARE(refused, QString());
        QCOMPARE(jobs.state(), DatasetState::Browse);
        QCOMPARE(rows(s.path(), QStringLiteral("SELECT count(*) FROM sqldatenbanken WHERE %1='%2'")
                                    .arg(fieldName, value.toString())),
                 QStringList{"1"});
        return;
    }
    QVERIFY2(refused.contains(message), qPrintable(refused));
    // Nothing stored, and the input stays for the user to complete or cancel.
    QCOMPARE(rows(s.path(), "SELECT * FROM sqldatenbanken"), before);
    QCOMPARE(jobs.state(), newRow ? DatasetState::Insert : DatasetState::Edit);
    QCOMPARE(jobs.field(fieldName).value(), value);
    jobs.cancel();
    QCOMPARE(jobs.recordCount(), 2);
}

void TestDataset::hooks() {
    Settings s;
    Dataset& jobs = s.jobs();
    QStringList calls;
    jobs.onNewRecord = [&](Dataset& d) {
        calls << "new";
        d.field("DBBenutzer").setValue("sa");
        d.field("FTP_Port").setValue(21);
    };
    jobs.onBeforePost = [&](Dataset& d) {
        calls << "beforePost";
        if (d.field("DBName").asString() == "verboten")
            throw ProgramError("Abgelehnt");
        if (d.field("ZIP_Dateiname").isNull())
            d.field("ZIP_Dateiname").setValue(d.field("DBName").value());
    };

    jobs.append();
    QCOMPARE(calls, QStringList{"new"});
    QCOMPARE(jobs.field("DBBenutzer").asString(), QString("sa"));
    QCOMPARE(jobs.field("FTP_Port").asInteger(), 21);
    QVERIFY(!jobs.modified()); // defaults are not input

    jobs.field("DBName").setValue("verboten");
    jobs.field("DBServer").setValue("srv");
    jobs.field("DBPasswort").setValue("pw");
    QCOMPARE(refusal([&] { jobs.post(); }), QString("Abgelehnt"));
    QCOMPARE(jobs.state(), DatasetState::Insert);
    QCOMPARE(rows(s.path(), "SELECT count(*) FROM sqldatenbanken"), QStringList{"0"});

    jobs.field("DBName").setValue("Lager");
    jobs.post();
    QCOMPARE(
        rows(s.path(), "SELECT DBName, DBBenutzer, FTP_Port, ZIP_Dateiname FROM sqldatenbanken"),
        QStringList{"Lager|sa|21|Lager"});

    // A new-row hook that fails leaves no row behind.
    jobs.onNewRecord = [](Dataset&) { throw ProgramError("kaputt"); };
    QCOMPARE(refusal([&] { jobs.append(); }), QString("kaputt"));
    QCOMPARE(jobs.state(), DatasetState::Browse);
    QCOMPARE(jobs.recordCount(), 1);
    QCOMPARE(jobs.field("DBName").asString(), QString("Lager"));
}

void TestDataset::movingAwayStoresOrDrops() {
    Settings s;
    s.addJobs({"A", "B"});
    Dataset& jobs = s.jobs();
    jobs.onNewRecord = [](Dataset& d) { d.field("DBBenutzer").setValue("sa"); };

    // A new row with nothing but its defaults is dropped when the user moves on.
    jobs.append();
    jobs.first();
    QCOMPARE(jobs.state(), DatasetState::Browse);
    QCOMPARE(jobs.recordCount(), 2);

    // A changed row is stored first.
    jobs.edit();
    jobs.field("DBServer").setValue("zweiter");
    jobs.next();
    QCOMPARE(jobs.field("DBName").asString(), QString("B"));
    QCOMPARE(rows(s.path(), "SELECT DBServer FROM sqldatenbanken WHERE DBName='A'"),
             QStringList{"zweiter"});

    // A store that is refused keeps the user on the row.
    jobs.edit();
    jobs.field("DBServer").clear();
    QVERIFY(!refusal([&] { jobs.first(); }).isEmpty());
    QCOMPARE(jobs.field("DBName").asString(), QString("B"));
    QCOMPARE(jobs.state(), DatasetState::Edit);
}

void TestDataset::removeDeletesAtOnce() {
    Settings s;
    s.addJobs({"A", "B", "C"});
    Dataset& jobs = s.jobs();
    jobs.next();
    jobs.remove();
    QCOMPARE(s.jobNames(), (QStringList{"A", "C"}));
    QCOMPARE(jobs.recordCount(), 2);
    QCOMPARE(jobs.field("DBName").asString(), QString("C"));

    // Deleting while editing drops the edit and deletes the stored row.
    jobs.edit();
    jobs.field("DBName").setValue("X");
    jobs.remove();
    QCOMPARE(s.jobNames(), QStringList{"A"});
    QCOMPARE(jobs.field("DBName").asString(), QString("A"));

    // Deleting a new row only drops it.
    jobs.append();
    jobs.remove();
    QCOMPARE(s.jobNames(), QStringList{"A"});
    QCOMPARE(jobs.recordCount(), 1);

    jobs.remove();
    QVERIFY(jobs.isEmpty());
    QVERIFY(jobs.eof());
    QVERIFY_THROWS_EXCEPTION(ProgramError, jobs.remove());
}

void TestDataset::navigation() {
    Settings s;
    Dataset& jobs = s.jobs();
    jobs.first();
    QVERIFY(jobs.eof());
    QVERIFY(jobs.field("DBName").isNull());

    s.addJobs({"A", "B", "C"});
    QStringList seen;
    for (jobs.first(); !jobs.eof(); jobs.next())
        seen << jobs.field("DBName").asString();
    QCOMPARE(seen, (QStringList{"A", "B", "C"}));
    QCOMPARE(jobs.recNo(), 2);

    seen.clear();
    for (jobs.last(); !jobs.bof(); jobs.prior())
        seen << jobs.field("DBName").asString();
    QCOMPARE(seen, (QStringList{"C", "B", "A"}));

    jobs.moveTo(1);
    QCOMPARE(jobs.value("dbname"), QVariant("B"));

    // Choosing a row below a new row that is dropped on the way lands on the row chosen.
    jobs.insert();
    QCOMPARE(jobs.recNo(), 1);
    jobs.moveTo(2);
    QCOMPARE(jobs.field("DBName").asString(), QString("B"));
    QCOMPARE(jobs.recordCount(), 3);
    // Choosing the row being edited keeps the edit.
    jobs.edit();
    jobs.field("DBServer").setValue("x");
    jobs.moveTo(1);
    QCOMPARE(jobs.state(), DatasetState::Edit);
    jobs.cancel();
    QVERIFY_THROWS_EXCEPTION(ProgramError, jobs.moveTo(3));
    QVERIFY_THROWS_EXCEPTION(ProgramError, jobs.field("KeinFeld"));
}

void TestDataset::observers() {
    Settings s;
    s.addJobs({"A", "B"});
    Dataset& jobs = s.jobs();
    QList<std::pair<DatasetEvent, int>> events;
    const int id = jobs.subscribe([&](DatasetEvent e, int field) { events.append({e, field}); });

    jobs.edit();
    jobs.field("DBServer").setValue("x");
    jobs.post();
    jobs.next();
    const int server = jobs.fieldIndex("DBServer");
    QCOMPARE(events, (QList<std::pair<DatasetEvent, int>>{{DatasetEvent::StateChanged, -1},
                                                          {DatasetEvent::FieldChanged, server},
                                                          {DatasetEvent::StateChanged, -1},
                                                          {DatasetEvent::DataSetChanged, -1},
                                                          {DatasetEvent::Scrolled, -1}}));
    jobs.unsubscribe(id);
    events.clear();
    jobs.first();
    QVERIFY(events.isEmpty());
}

void TestDataset::rowChangedByAnotherProgram_data() {
    QTest::addColumn<QStringList>("meanwhile");
    QTest::newRow("deleted") << QStringList{"DELETE FROM sqldatenbanken"};
    // The table numbers its rows itself; a row added after the delete takes the same number.
    QTest::newRow("deleted, another job in its place")
        << QStringList{"DELETE FROM sqldatenbanken",
                       "INSERT INTO sqldatenbanken (DBName, DBServer, DBBenutzer, DBPasswort) "
                       "VALUES ('B', 'srvB', 'sa', 'pw')"};
}

void TestDataset::rowChangedByAnotherProgram() {
    QFETCH(QStringList, meanwhile);
    Settings s;
    s.addJobs({"A"});
    QVERIFY(exec(s.path(), meanwhile));
    s.jobs().edit();
    s.jobs().field("DBServer").setValue("neu");
    // The change must not vanish silently, nor land on another job.
    QVERIFY(refusal([&] { s.jobs().post(); }).contains("nicht gefunden"));
    QCOMPARE(s.jobs().state(), DatasetState::Edit);
    s.jobs().cancel();
    s.jobs().remove(); // deleting the vanished row leaves the other job alone
    s.jobs().close();
    s.jobs().open();
    QCOMPARE(s.jobs().recordCount(), meanwhile.size() - 1);
    if (s.jobs().recordCount() == 1)
        QCOMPARE(s.jobs().field("DBServer").asString(), QString("srvB"));
}

void TestDataset::briefLockAtPostIsWaitedFor() {
    Settings s;
    s.addJobs({"A"});
    std::latch locked(1);
    std::thread other([&] {
        sqlite3* raw = openRaw(s.path());
        sqlite3_exec(raw, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr);
        locked.count_down();
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        sqlite3_exec(raw, "COMMIT", nullptr, nullptr, nullptr);
        sqlite3_close(raw);
    });
    locked.wait();
    s.jobs().edit();
    s.jobs().field("DBServer").setValue("gewartet");
    const QString refused = refusal([&] { s.jobs().post(); });
    other.join();
    QCOMPARE(refused, QString());
    QCOMPARE(rows(s.path(), "SELECT DBServer FROM sqldatenbanken"), QStringList{"gewartet"});
}

void TestDataset::lockOutlastingTheWaitRefusesPost() {
    Settings s;
    s.addJobs({"A"});
    s.db->ADOConnection1.setBusyTimeoutMs(200);
    sqlite3* other = openRaw(s.path());
    QCOMPARE(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);

    s.jobs().edit();
    s.jobs().field("DBServer").setValue("später");
    QVERIFY(!refusal([&] { s.jobs().post(); }).isEmpty());
    QCOMPARE(s.jobs().state(), DatasetState::Edit);

    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    s.jobs().post();
    QCOMPARE(rows(s.path(), "SELECT DBServer FROM sqldatenbanken"), QStringList{"später"});
}

QTEST_GUILESS_MAIN(TestDataset)
#include "tst_dataset.moc"
