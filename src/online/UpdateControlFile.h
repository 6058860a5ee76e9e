#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

// The update's control file on the maker's web server: the version offered and, per program
// file, its name and checksums. UTF-8 text, one entry a line; blank lines and lines starting
// with '#' are ignored:
//
//   Version=4.0.1.0
//   File=OrvelSQLBackup;2345678;1c291ca3;<SHA-256 as 64 hex digits>
//
// Version: four numbers joined by dots, written as the program's product version is.
// File: the bare file name in the program folder (no folder part), its size in bytes, its
// CRC-32 as 8 hex digits and its SHA-256 as 64 hex digits, separated by ';'. An update replaces
// only the program's executable and the SFTP library (replaceableFiles()): a control file that
// names any other file (the settings, the host keys, a path) is refused whole.
struct UpdateControlFile {
    struct Entry {
        QString name;
        qint64 size = 0;
        quint32 crc32 = 0;
        QByteArray sha256; // lower-case hex
    };

    QString version;
    QList<Entry> files;

    // The only files an update may replace: the executable and the SFTP library.
    static QStringList replaceableFiles();

    // The file read from its text; std::nullopt with a German reason in error when it is not a
    // control file of this form.
    static std::optional<UpdateControlFile> parse(const QByteArray& text, QString* error);
};

// A version text of four numbers joined by dots as numbers; std::nullopt when it is not one.
std::optional<QList<quint32>> versionNumbers(const QString& version);
