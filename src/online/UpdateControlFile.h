#pragma once

#include <QByteArray>
#include <QDate>
#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

// The update's control file on the maker's web server: the version offered and, per program
// file, its name and checksums. UTF-8 text, one entry a line; blank lines and lines starting
// with '#' are ignored:
//
//   Serial=1765400000
//   Expires=2027-03-01
//   Version=4.0.1.0
//   File=OrvelSQLBackup;2345678;1c291ca3;<SHA-256 as 64 hex digits>
//   Library=0.78.2;345678;<SHA-256 as 64 hex digits>
//
// Serial: a whole number the maker raises with every control file he signs; the program keeps
// the highest it has seen and refuses a lower one, so an older signed file cannot be served
// again to hold back an update. Expires: the last day (YYYY-MM-DD) the file counts; after it the
// file is refused, so a server cannot freeze the program on an old one for ever.
// Version: four numbers joined by dots, written as the program's product version is.
// File: the bare file name in the program folder (no folder part), its size in bytes, its
// CRC-32 as 8 hex digits and its SHA-256 as 64 hex digits, separated by ';'. An update replaces
// only the program's executable and the SFTP library (replaceableFiles()): a control file that
// names any other file (the settings, the host keys, a path) is refused whole.
// Library: the SFTP library the support-file download fetches (libtgputtylib.so): its version,
// size and SHA-256; the download counts only when it matches them.
// Serial, Expires and Version are required; File and Library are optional.
struct UpdateControlFile {
    struct Entry {
        QString name;
        qint64 size = 0;
        quint32 crc32 = 0;
        QByteArray sha256; // lower-case hex
    };

    struct LibraryEntry {
        QString version;
        qint64 size = 0;
        QByteArray sha256; // lower-case hex
    };

    quint64 serial = 0;
    QDate expires;
    QString version;
    QList<Entry> files;
    std::optional<LibraryEntry> library;

    // The only files an update may replace: the executable and the SFTP library.
    static QStringList replaceableFiles();

    // The file read from its text; std::nullopt with a German reason in error when it is not a
    // control file of this form.
    static std::optional<UpdateControlFile> parse(const QByteArray& text, QString* error);
};

// A version text of four numbers joined by dots as numbers; std::nullopt when it is not one.
std::optional<QList<quint32>> versionNumbers(const QString& version);
