#include "settings/SettingsDatabase.h"

#include "platform/ConnectionString.h"
#include "platform/LogSink.h"
#include "platform/ProgramError.h"
#include "settings/JetDialect.h"
#include "settings/SettingsColumns.h"

#include <sqlcipher/sqlite3.h>

#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

namespace C = SettingsColumns;

const QString SettingsDatabase::fileName = QStringLiteral("sqlback.mdb");
const QString SettingsDatabase::databasePassword = QStringLiteral("kodiak47");

SettingsDatabase::SettingsDatabase(LogSink& log, QString programFolder)
    : m_log(log), m_programFolder(std::move(programFolder)) {
    queryVersion.setConnection(&ADOConnection1);
    queryBenutzerdaten.setConnection(&ADOConnection1);
    queryDatenbanken.setConnection(&ADOConnection1);
    ADOQuery1.setConnection(&ADOConnection1);
    ADOQuery1.setCommandTimeout(60);
}

QString SettingsDatabase::creationConnectionString(const QString& path) {
    return QStringLiteral("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=") +
           ConnectionString::quoteValue(path) + QStringLiteral(";Jet OLEDB:Database Password=") +
           databasePassword + QLatin1Char(';');
}

QString SettingsDatabase::useConnectionString() const {
    return QStringLiteral("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=") +
           ConnectionString::quoteValue(m_programFolder + fileName) +
           QStringLiteral(";Persist Security Info=False;Jet OLEDB:Database Password=") +
           databasePassword;
}

bool SettingsDatabase::CreateAccessDatabase(const QString& Database) {
    ConnectionParams params;
    try {
        params = SettingsConnection::parseConnectionString(creationConnectionString(Database));
    } catch (const std::exception&) {
        return false;
    }
    const QFileInfo info(params.dataSource);
    if (params.dataSource.isEmpty() || info.exists() || info.isSymLink())
        return false;
    // Made complete under a name of its own beside the file and then given its name, so that
    // a program stopped half-way never leaves an empty file (which later starts refuse) there.
    ConnectionParams building = params;
    {
        // The file holds the stored passwords under a published key: it is created readable by
        // its owner only, before SQLite opens it (SQLite gives its journal files the same mode).
        QTemporaryFile temp(params.dataSource + QStringLiteral(".XXXXXX"));
        temp.setAutoRemove(false);
        if (!temp.open())
            return false;
        building.dataSource = temp.fileName();
    }
    const auto discard = [&building] {
        QFile::remove(building.dataSource); // the next start tries again
        return false;
    };
    sqlite3* db =
        openSettingsFile(building, false, SettingsConnection::defaultBusyTimeoutMs, nullptr);
    if (!db)
        return discard();
    // SQLite writes a file only when something is stored; writing the header now makes the
    // new file an encrypted database without tables.
    const bool written =
        sqlite3_exec(db, "PRAGMA user_version = 0", nullptr, nullptr, nullptr) == SQLITE_OK;
    const bool closed = sqlite3_close(db) == SQLITE_OK;
    if (!written || !closed || QFileInfo(building.dataSource).size() == 0)
        return discard();
    // QFile::rename never replaces a file that appeared at the name meanwhile.
    if (!QFile::rename(building.dataSource, params.dataSource))
        return discard();
    return true;
}

QDateTime SettingsDatabase::currentSchemaVersion() {
    return QDateTime(QDate(2016, 8, 15), QTime(0, 0));
}

QString SettingsDatabase::generalTableStatement() {
    return QStringLiteral("CREATE TABLE dbo.%1 (%2 INTEGER IDENTITY(1,1) PRIMARY KEY)")
        .arg(C::generalTable, C::ID);
}

const QStringList& SettingsDatabase::tableStatements() {
    static const QStringList statements = {
        generalTableStatement(),
        QStringLiteral("CREATE TABLE dbo.%1(%2 DATETIME NOT NULL PRIMARY KEY)")
            .arg(C::versionTable, C::DBVERSION),
        QStringLiteral(
            "CREATE TABLE dbo.%1 (%2 nvarchar(50) NOT NULL PRIMARY KEY, %3 nvarchar(50) NOT NULL, "
            "%4 nvarchar(50) NOT NULL, %5 nvarchar(50) NOT NULL)")
            .arg(C::jobsTable, C::DBName, C::DBServer, C::DBBenutzer, C::DBPasswort),
    };
    return statements;
}

namespace {
QString addColumn(const QString& table, const QString& column, const char* type) {
    return QStringLiteral("ALTER TABLE %1 ADD %2 ").arg(table, column) + QLatin1String(type);
}
QString zeroWhereNull(const QString& table, const QString& column) {
    return QStringLiteral("UPDATE %1 SET %2=0 WHERE %2 IS NULL").arg(table, column);
}
} // namespace

const QStringList& SettingsDatabase::upgradeStatements() {
    const QString& jobs = C::jobsTable;
    const QString& general = C::generalTable;
    static const QStringList statements = {
        addColumn(jobs, C::ZIP_Dateiname, "nvarchar(50)"),
        addColumn(jobs, C::ZIP_erstellen, "BIT"),
        addColumn(jobs, C::FTP_aktiv, "BIT"),
        addColumn(jobs, C::FTP_SERVER, "nvarchar(50)"),
        addColumn(jobs, C::FTP_Benutzer, "nvarchar(50)"),
        addColumn(jobs, C::FTP_Passwort, "nvarchar(50)"),
        addColumn(jobs, C::FTP_Port, "INTEGER"),
        addColumn(jobs, C::FTP_Pfad, "nvarchar(150)"),
        addColumn(jobs, C::FTP_SSL, "INTEGER"),
        zeroWhereNull(jobs, C::FTP_SSL),
        addColumn(jobs, C::FTP_Passiv, "INTEGER"),
        zeroWhereNull(jobs, C::FTP_Passiv),
        addColumn(jobs, C::FTP_Binary, "INTEGER"),
        zeroWhereNull(jobs, C::FTP_Binary),
        addColumn(jobs, C::S3_Region, "nvarchar(50)"),
        addColumn(general, C::VersenderName, "nvarchar(50)"),
        addColumn(general, C::VersenderEmail, "nvarchar(50)"),
        addColumn(general, C::VersenderBenutzerName, "nvarchar(50)"),
        addColumn(general, C::VersenderBenutzerPasswort, "nvarchar(50)"),
        addColumn(general, C::EmpfaengerEmail, "nvarchar(255)"),
        addColumn(general, C::SMTPServer, "nvarchar(50)"),
        addColumn(general, C::Port, "INTEGER"),
        addColumn(general, C::SMTPSSLTLS, "BIT"),
        addColumn(general, C::OrdnerZIPDateien, "nvarchar(250)"),
        addColumn(general, C::ZIP_Passwort, "nvarchar(255)"),
    };
    return statements;
}

void SettingsDatabase::addLaterColumns() {
    // Files at the current schema version were made before the ZIP password and the S3 region
    // existed, so the version does not tell whether the columns are there.
    QStringList statements;
    if (!queryBenutzerdaten.fieldNames().contains(C::ZIP_Passwort))
        statements << addColumn(C::generalTable, C::ZIP_Passwort, "nvarchar(255)");
    queryDatenbanken.open();
    if (!queryDatenbanken.fieldNames().contains(C::S3_Region))
        statements << addColumn(C::jobsTable, C::S3_Region, "nvarchar(50)");
    queryDatenbanken.close();
    if (statements.isEmpty())
        return;
    queryBenutzerdaten.close();
    m_fileFailure.clear();
    for (const QString& statement : statements)
        dbbefehl(statement);
    if (!m_fileFailure.isEmpty())
        throw ProgramError(
            QStringLiteral("Die Einstellungsdatenbank konnte nicht aktualisiert werden: ") +
            m_fileFailure);
    queryBenutzerdaten.open();
}

void SettingsDatabase::dbbefehl(const QString& tempsql) {
    const QString jet = JetDialect::fromSqlServer(tempsql);
    ADOQuery1.setSQL(JetDialect::toSqlite(jet));
    try {
        ADOQuery1.execSQL();
    } catch (const std::exception& e) {
        // A statement that does not apply (a column that is already there) is expected here.
        // One that could not reach the file (locked, disk full) is remembered, so that the
        // schema is not marked as up to date without it.
        if (ADOQuery1.lastResultCode() != SQLITE_ERROR && m_fileFailure.isEmpty())
            m_fileFailure = exceptionText(e);
    }
}

void SettingsDatabase::checkdatabase() {
    ADOConnection1.close();
    ADOConnection1.setConnectionString(useConnectionString());
    try {
        ADOConnection1.open();
        m_log.writelogentry(QStringLiteral("Einstellungsdatenbank verbunden"));
    } catch (...) {
        // Only a file refused for what sits in its place is named; other failures keep to
        // the two lines.
        if (!ADOConnection1.refusal().isEmpty())
            m_log.writelogentry(ADOConnection1.refusal());
        m_log.writelogentry(QStringLiteral("FEHLER: Keine Verbindung zur Einstellungsdatenbank"));
    }

    if (ADOConnection1.connected()) {
        const QDateTime current = currentSchemaVersion();
        m_fileFailure.clear();
        try {
            queryVersion.open();
        } catch (...) {
            for (const QString& statement : tableStatements())
                dbbefehl(statement);
            queryVersion.open();
        }

        const QDateTime stored =
            queryVersion.isEmpty() ? QDateTime() : queryVersion.field(C::DBVERSION).asDateTime();
        if (!stored.isValid() || stored < current) {
            queryVersion.close();
            upgradeSchema();
            if (!m_fileFailure.isEmpty())
                throw ProgramError(
                    QStringLiteral("Die Einstellungsdatenbank konnte nicht aktualisiert werden: ") +
                    m_fileFailure);
            queryVersion.open();
            queryVersion.edit();
            queryVersion.field(C::DBVERSION).setValue(current);
            queryVersion.post();
        }

        queryVersion.close();
        queryBenutzerdaten.open();
        addLaterColumns();
        queryDatenbanken.open();
        m_log.writelogentry(QStringLiteral("Datenbank erfolgreich geöffnet"));

        if (queryBenutzerdaten.isEmpty()) {
            queryBenutzerdaten.append();
            queryBenutzerdaten.post();
        }
    }

    if (!ADOConnection1.connected())
        m_log.writelogentry(QStringLiteral("Datenbank kann nicht geöffnet werden"));
}

void SettingsDatabase::postPendingChanges() {
    for (Dataset* dataset : {&queryDatenbanken, &queryBenutzerdaten})
        if (dataset->hasPendingChanges())
            dataset->post();
}

void SettingsDatabase::upgradeSchema() {
    for (const QString& statement : upgradeStatements())
        dbbefehl(statement);
}
