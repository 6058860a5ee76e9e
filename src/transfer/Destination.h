#pragma once

#include <QDateTime>
#include <QList>
#include <QString>

#include <memory>

class QIODevice;

// Where a job's archives go and come back from, as plain values: the core fills it from the job
// for every attempt, so nothing below reads the settings.
struct DestinationConfig {
    // The job's FTP_SSL.
    static constexpr int Ftp = 0;
    static constexpr int Ftps = 1; // FTP with explicit TLS on the control and the data connection
    static constexpr int Sftp = 2;
    static constexpr int S3 = 3; // an S3-compatible bucket over HTTPS

    int protocol = Ftp;
    QString host;
    int port = 0;
    QString user;     // S3: the access key ID
    QString password; // S3: the secret key
    // Put in front of every remote name unchanged: no separator added, no folder changed or made.
    // S3: "bucket/prefix/", the first segment the bucket.
    QString pathPrefix;
    // S3: the region requests are signed for; empty: the one an AWS host name carries, else
    // us-east-1.
    QString region;
    // S3: > 0 puts every stored object under Object Lock retention (COMPLIANCE) until now + this
    // many days; the bucket must have Object Lock.
    int objectLockDays = 0;
    // FTP: passive data connections (FTPS is always passive).
    bool passive = true;
    // Where the kept server keys lie (known_hosts, ftps_known_hosts): the program folder.
    QString keysFolder;
    // SFTP: false refuses an unknown or changed host key without asking (the question already
    // went unanswered in this run of attempts).
    bool askHostKey = true;
    // Someone watches the run (the window on a display); the core decides it once for the run.
    // FTPS, S3: only then is a certificate key no authority vouches for kept at first use;
    // otherwise it is refused before the login, naming the command that accepts it.
    bool attended = false;
    // The job's name, for the lines that name a command to run for it.
    QString jobName;
};

// What a destination can promise.
struct DestinationProperties {
    // A reader never sees a partial file under the name: a failed store leaves the old file (or
    // none), so there is nothing to remove after it.
    bool atomicStore = false;
    // The server always reports the size it holds after a store: a store without it is not
    // taken as whole. False: a server that does not say does not fail the store.
    bool reportsSize = false;
    // copy() makes a second file from one the server holds, without sending it again.
    bool serverCopy = false;
};

// A file at the destination.
struct RemoteFile {
    bool exists = false;
    qint64 size = -1;   // -1: the server does not say
    QDateTime modified; // invalid: the server does not say
};

// What a destination reports while it works. Called on the thread that runs the operation,
// which is not the window's: an implementation hands what it shows over to its own thread.
class DestinationEvents {
public:
    enum class HostKeyAnswer {
        Yes,
        No,
        Unanswered, // nobody answered within the time the question gives
        Unattended, // there is nobody to ask
    };

    virtual ~DestinationEvents() = default;
    // A line for the log book, as it happens (the session's messages, a key kept at first use).
    virtual void line(const QString& text) { (void)text; }
    // The server accepted the login.
    virtual void loggedIn() {}
    // A transfer of totalBytes begins; progress follows with the bytes done so far.
    virtual void started(qint64 totalBytes) { (void)totalBytes; }
    virtual void progress(qint64 bytesDone) { (void)bytesDone; }
    virtual void finished() {}
    // The SSH host key question (English text and caption); blocks until answered.
    virtual HostKeyAnswer askHostKey(const QString& text, const QString& caption) {
        (void)text;
        (void)caption;
        return HostKeyAnswer::Unattended;
    }
};

struct StoreResult {
    bool stored = false;        // the server holds the whole file (its size checked)
    qint64 remoteSize = -1;     // the size the server reported after the store; -1: unknown
    bool remoteTouched = false; // the failed store may have left a part under the name
    bool hostKeyUnanswered = false; // the host key question went unanswered or was not asked
    // A server key nobody confirmed was refused: every further attempt of the run would be too.
    bool keyUnconfirmed = false;
    QString error;              // the client's or the server's own message when not stored
};

struct FetchResult {
    bool fetched = false; // the whole file arrived (its size checked)
    qint64 bytes = 0;
    bool hostKeyUnanswered = false;
    QString error;
};

struct StatResult {
    RemoteFile file;
    bool hostKeyUnanswered = false;
    QString error; // empty: file says whether it exists
};

// A file of the remote folder as a listing names it.
struct RemoteEntry {
    QString name;       // as store() and remove() take it: without the path prefix
    qint64 size = -1;   // -1: the listing does not say
    QDateTime modified; // invalid: the listing does not say
};

struct ListResult {
    bool listed = false; // files holds the whole folder
    QList<RemoteEntry> files;
    bool hostKeyUnanswered = false;
    QString error;
};

struct CopyResult {
    bool copied = false;
    bool unsupported = false; // the server cannot copy this file itself: store it again
    QString error;
};

struct RemoveResult {
    bool removed = false; // the file is gone (or was never there)
    bool hostKeyUnanswered = false;
    QString error;
};

// One place an archive goes to and comes back from. Every operation is blocking, opens a
// connection of its own, and throws nothing: what failed is in its result.
class Destination {
public:
    virtual ~Destination() = default;
    virtual DestinationProperties properties() const = 0;
    // The local file under pathPrefix + remoteName, replacing a file of that name.
    virtual StoreResult store(const QString& localPath, const QString& remoteName,
                              DestinationEvents& events) = 0;
    // The remote file into a local file: written under a temporary name beside it and renamed
    // once whole, so a failed fetch leaves an existing local file as it was.
    virtual FetchResult fetch(const QString& remoteName, const QString& localPath,
                              DestinationEvents& events) = 0;
    // The remote file, streamed into a sink (which is not rewound or removed on failure).
    virtual FetchResult fetchInto(const QString& remoteName, QIODevice& sink,
                                  DestinationEvents& events) = 0;
    virtual StatResult stat(const QString& remoteName, DestinationEvents& events) = 0;
    virtual RemoveResult remove(const QString& remoteName, DestinationEvents& events) = 0;
    // The files of the folder the path prefix names whose names begin with what follows its
    // last '/', named as store() takes them (the prefix "backup/Lager" lists backup/ and names
    // backup/Lager3.ZIP "3.ZIP"). Folders are left out where the server tells them from files.
    virtual ListResult list(DestinationEvents& events) = 0;
    // A second file `toName` with the contents of `fromName`, made on the server; where the
    // server cannot (properties().serverCopy false), unsupported.
    virtual CopyResult copy(const QString& fromName, const QString& toName,
                            DestinationEvents& events) {
        (void)fromName;
        (void)toName;
        (void)events;
        CopyResult r;
        r.unsupported = true;
        r.error = QStringLiteral("Der Server kann keine Datei selbst kopieren");
        return r;
    }
};

// The protocol table: the destination for the config's protocol; null for a protocol there is
// none for.
std::unique_ptr<Destination> makeDestination(const DestinationConfig& config);
