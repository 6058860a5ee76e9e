#pragma once

#include "online/UpdateKey.h"
#include "online/WebServer.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <functional>

class DownloadView;
class QFile;

// The support libraries beside the program: each must be present and not older than the
// version the program expects; a missing or outdated one is fetched from the maker's web server
// into the program folder. TLS comes from the system on this platform, so the list holds only
// the SFTP library. Nothing is logged: a failed download leaves the old file as it was and is
// tried again at the next start.
//
// A fetched file replaces nothing unless it matches the size and SHA-256 that the maker's
// signed control file names for it (its Library= line; SignedControlFile: signature, expiry and
// serial checked), and it is no larger than kMaxFileSize. A link planted in the file's place is
// never written through. A build without a key reads the control file only and keeps the file that is there.
class SupportFileDownload {
public:
    struct SupportFile {
        QString name;
        QDate referenceDate; // the start of this day, local time
    };
    static constexpr const char* kUserAgent = "WebCopy";
    static constexpr const char* kFilesPath = "/secure/OrvelSQLBackup/";
    static constexpr qint64 kMaxFileSize = qint64(256) * 1024 * 1024;
    static QList<SupportFile> supportFiles();

    SupportFileDownload(std::function<WebServer()> server, QString programFolder);
    void setDownloadView(DownloadView* view) { m_view = view; }
    // The key the files must be signed with; the build's key unless set here.
    void setVerifyingKey(UpdateKey key) { m_key = std::move(key); }
    // Why the last file was not put in place (German, names the file); empty when it was, or
    // when it was current.
    const QString& lastError() const { return m_error; }

    // Each file of the list in turn with its reference date.
    void Berichtsvorlagencheck();
    // Fetches eintragname when it is missing or was last written before eintragdatum.
    void Berichtsvorlagendownload(const QString& eintragname, const QDateTime& eintragdatum);

    // A file's last-write time in local time, at the two-second resolution of file dates.
    static QDateTime lastWriteTime(const QString& path);

private:
    // Whether the file begins with the ELF magic (\x7f E L F) of a shared library.
    static bool isElf(QFile& file);
    std::function<WebServer()> m_server;
    QString m_programFolder;
    DownloadView* m_view = nullptr;
    UpdateKey m_key = UpdateKey::builtIn();
    QString m_error;
};
