#pragma once

// Builds and reads settings files straight through SQLCipher, apart from the classes under test.

#define SQLITE_HAS_CODEC 1
#include <sqlcipher/sqlite3.h>

#include <QFile>
#include <QProcess>
#include <QStringList>
#include <QtTest>

namespace SettingsFiles {

inline const QByteArray key = QByteArrayLiteral("kodiak47");

inline sqlite3* openRaw(const QString& path, const QByteArray& withKey = key) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), &db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return nullptr;
    }
    if (!withKey.isEmpty())
        sqlite3_key(db, withKey.constData(), int(withKey.size()));
    return db;
}

// Runs the statements in order on an (encrypted) file, creating it when missing.
inline bool exec(const QString& path, const QStringList& statements,
                 const QByteArray& withKey = key) {
    sqlite3* db = openRaw(path, withKey);
    if (!db)
        return false;
    bool ok = true;
    for (const QString& statement : statements) {
        char* error = nullptr;
        if (sqlite3_exec(db, statement.toUtf8().constData(), nullptr, nullptr, &error) !=
            SQLITE_OK) {
            qWarning("%s: %s", qPrintable(statement), error);
            ok = false;
        }
        sqlite3_free(error);
    }
    sqlite3_close(db);
    return ok;
}

// Every row of a query as "a|b|c", NULL shown as "NULL".
inline QStringList rows(const QString& path, const QString& sql,
                        QChar separator = QLatin1Char('|')) {
    QStringList result;
    sqlite3* db = openRaw(path);
    sqlite3_stmt* stmt = nullptr;
    if (db && sqlite3_prepare_v2(db, sql.toUtf8().constData(), -1, &stmt, nullptr) == SQLITE_OK) {
        while (sqlite3_step(stmt) == SQLITE_ROW) {
            QStringList cells;
            for (int i = 0; i < sqlite3_column_count(stmt); ++i)
                cells.append(sqlite3_column_type(stmt, i) == SQLITE_NULL
                                 ? QStringLiteral("NULL")
                                 : QString::fromUtf8(reinterpret_cast<const char*>(
                                       sqlite3_column_text(stmt, i))));
            result.append(cells.join(separator));
        }
    } else {
        result.append(QStringLiteral("ERROR: ") +
                      QString::fromUtf8(db ? sqlite3_errmsg(db) : "no file"));
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return result;
}

// The columns of a table as "name type notnull pk", in table order.
inline QStringList columns(const QString& path, const QString& table) {
    QStringList result;
    const QChar separator(0x1f);
    for (const QString& row :
         rows(path, QStringLiteral("PRAGMA table_info(%1)").arg(table), separator)) {
        const QStringList c = row.split(separator);
        result.append(QStringLiteral("%1 %2 %3 %4").arg(c[1], c[2], c[3], c[5]));
    }
    return result;
}

// Feeds a script to the sqlcipher shell; returns what it printed (stdout and stderr).
inline QString shell(const QString& path, const QString& script) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral("sqlcipher"), {path});
    if (!process.waitForStarted(10000))
        return QStringLiteral("sqlcipher shell not started");
    process.write(script.toUtf8());
    process.closeWriteChannel();
    process.waitForFinished(30000);
    return QString::fromUtf8(process.readAll());
}

} // namespace SettingsFiles
