#include "settings/SettingsDatabase.h"

#include "platform/ConnectionString.h"
#include "platform/LogSink.h"
#include "platform/PrivateFile.h"
#include "platform/ProgramError.h"
#include "settings/JetDialect.h"

#include <sqlcipher/sqlite3.h>

#include <QFile>
#include <QFileInfo>

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
    // The file holds the stored passwords under a published key: it is created readable by its
    // owner only, before SQLite opens it (SQLite gives its journal files the same mode).
    if (!createPrivateFile(params.dataSource))
        return false;
    sqlite3* db =
        openSettingsFile(params, false, SettingsConnection::defaultBusyTimeoutMs, nullptr);
    if (!db) {
        QFile::remove(params.dataSource);
        return false;
    }
    // SQLite writes a file only when something is stored; writing the header now makes the
    // new file an encrypted database without tables.
    const bool written =
        sqlite3_exec(db, "PRAGMA user_version = 0", nullptr, nullptr, nullptr) == SQLITE_OK;
    const bool closed = sqlite3_close(db) == SQLITE_OK;
    if (!written || !closed || QFileInfo(params.dataSource).size() == 0) {
        QFile::remove(params.dataSource); // the next start tries again
        return false;
    }
    return true;
}

QDateTime SettingsDatabase::currentSchemaVersion() {
    return QDateTime(QDate(2016, 8, 15), QTime(0, 0));
}

QString SettingsDatabase::benutzerdatenTableStatement() {
    return QStringLiteral("CREATE TABLE dbo.benutzerdaten (ID INTEGER IDENTITY(1,1) PRIMARY KEY)");
}

const QStringList& SettingsDatabase::tableStatements() {
    static const QStringList statements = {
        benutzerdatenTableStatement(),
        QStringLiteral("CREATE TABLE dbo.dbversion(DBVERSION DATETIME NOT NULL PRIMARY KEY)"),
        QStringLiteral("CREATE TABLE dbo.sqldatenbanken (DBName nvarchar(50) NOT NULL PRIMARY KEY, "
                       "DBServer nvarchar(50) NOT NULL, DBBenutzer nvarchar(50) NOT NULL, "
                       "DBPasswort nvarchar(50) NOT NULL)"),
    };
    return statements;
}

const QStringList& SettingsDatabase::upgradeStatements() {
    static const QStringList statements = {
        QStringLiteral("ALTER TABLE sqldatenbanken ADD ZIP_Dateiname nvarchar(50)"),
        QStringLiteral("ALTER TABLE sqldatenbanken ADD ZIP_erstellen BIT"),
        QStringLiteral("ALTER TABLE sqldatenbanken ADD FTP_aktiv BIT"),
        QStringLiteral("ALTER TABLE sqldatenbanken ADD FTP_SERVER nvarchar(50)"),
        QStringLiteral("ALTER TABLE sqldatenbanken ADD FTP_Benutzer nvarchar(50)"),
        QStringLiteral("ALTER TABLE sqldatenbanken ADD FTP_Passwort nvarchar(50)"),
        QStringLiteral("ALTER TABLE sqldatenbanken ADD FTP_Port INTEGER"),
        QStringLiteral("ALTER TABLE sqldatenbanken ADD FTP_Pfad nvarchar(150)"),
        QStringLiteral("ALTER TABLE sqldatenbanken ADD FTP_SSL INTEGER"),
        QStringLiteral("UPDATE sqldatenbanken SET FTP_SSL=0 WHERE FTP_SSL IS NULL"),
        QStringLiteral("ALTER TABLE sqldatenbanken ADD FTP_Passiv INTEGER"),
        QStringLiteral("UPDATE sqldatenbanken SET FTP_Passiv=0 WHERE FTP_Passiv IS NULL"),
        QStringLiteral("ALTER TABLE sqldatenbanken ADD FTP_Binary INTEGER"),
        QStringLiteral("UPDATE sqldatenbanken SET FTP_Binary=0 WHERE FTP_Binary IS NULL"),
        QStringLiteral("ALTER TABLE benutzerdaten ADD VersenderName nvarchar(50)"),
        QStringLiteral("ALTER TABLE benutzerdaten ADD VersenderEmail nvarchar(50)"),
        QStringLiteral("ALTER TABLE benutzerdaten ADD VersenderBenutzerName nvarchar(50)"),
        QStringLiteral("ALTER TABLE benutzerdaten ADD VersenderBenutzerPasswort nvarchar(50)"),
        QStringLiteral("ALTER TABLE benutzerdaten ADD EmpfaengerEmail nvarchar(255)"),
        QStringLiteral("ALTER TABLE benutzerdaten ADD SMTPServer nvarchar(50)"),
        QStringLiteral("ALTER TABLE benutzerdaten ADD Port INTEGER"),
        QStringLiteral("ALTER TABLE benutzerdaten ADD SMTPSSLTLS BIT"),
        QStringLiteral("ALTER TABLE benutzerdaten ADD OrdnerZIPDateien nvarchar(250)"),
    };
    return statements;
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

        const QDateTime stored = queryVersion.isEmpty()
                                     ? QDateTime()
                                     : queryVersion.field(QStringLiteral("DBVERSION")).asDateTime();
        if (!stored.isValid() || stored < current) {
            queryVersion.close();
            upgradeSchema();
            if (!m_fileFailure.isEmpty())
                throw ProgramError(
                    QStringLiteral("Die Einstellungsdatenbank konnte nicht aktualisiert werden: ") +
                    m_fileFailure);
            queryVersion.open();
            queryVersion.edit();
            queryVersion.field(QStringLiteral("DBVERSION")).setValue(current);
            queryVersion.post();
        }

        queryVersion.close();
        queryBenutzerdaten.open();
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
