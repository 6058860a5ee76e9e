#include "transfer/ftp/FtpDestination.h"

#include "net/CurlEasy.h"
#include "net/CurlList.h"
#include "net/ServerKeyCheck.h"

#include <QFile>
#include <QFileInfo>
#include <QIODevice>
#include <QTimeZone>
#include <QUrl>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <unistd.h>

namespace {

struct FileCloser {
    void operator()(std::FILE* f) const {
        if (f)
            std::fclose(f);
    }
};

// A reply of the control connection and the command it answers.
struct Reply {
    QByteArray command; // the verb, upper case ("SIZE"); empty before the first command
    QByteArray line;
};

// What the callbacks of one connection share.
struct Connection {
    DestinationEvents* events = nullptr;
    QByteArray transferVerb; // "STOR" or "RETR": the command that moves the file
    QByteArray lastCommand;
    QList<Reply> replies;
    bool loggedIn = false;
    bool transferSent = false;
    bool transferAnswered = false;
    bool transferRefused = false; // the first reply to the transfer refused it outright
    qint64 total = -1;            // the size the transfer is announced with
    qint64 shown = -1;            // the last progress reported
    // store
    std::FILE* in = nullptr;
    qint64 read = 0;
    // fetch
    int out = -1;
    QIODevice* sink = nullptr;
    qint64 received = 0;
    QString writeError;
    ServerKeyCheck keys;

    // The sizes the server named (213 replies to SIZE), in order.
    QList<qint64> sizes() const {
        QList<qint64> out;
        for (const Reply& r : replies) {
            bool ok = false;
            const qint64 value = r.command == "SIZE" && r.line.startsWith("213 ")
                                     ? r.line.mid(4).toLongLong(&ok)
                                     : -1;
            if (ok)
                out.append(value);
        }
        return out;
    }
    // The final reply to the first `command`; empty when none came.
    QByteArray replyTo(const QByteArray& command) const {
        for (const Reply& r : replies)
            if (r.command == command && r.line.size() >= 4 && r.line[3] == ' ')
                return r.line;
        return {};
    }
};

size_t readChunk(char* buffer, size_t size, size_t count, void* userdata) {
    auto* s = static_cast<Connection*>(userdata);
    const size_t n = std::fread(buffer, 1, size * count, s->in);
    if (n == 0 && std::ferror(s->in))
        return CURL_READFUNC_ABORT;
    s->read += qint64(n);
    return n;
}

bool writeAll(int fd, const char* data, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

size_t writeChunk(char* data, size_t size, size_t count, void* userdata) {
    auto* s = static_cast<Connection*>(userdata);
    const size_t n = size * count;
    if (s->sink) {
        if (s->sink->write(data, qint64(n)) != qint64(n)) {
            s->writeError = s->sink->errorString();
            return 0;
        }
    } else if (!writeAll(s->out, data, n)) {
        s->writeError = QString::fromLocal8Bit(std::strerror(errno));
        return 0;
    }
    s->received += qint64(n);
    return n;
}

size_t replyLine(char* buffer, size_t size, size_t count, void* userdata) {
    auto* s = static_cast<Connection*>(userdata);
    const QByteArray reply = QByteArray(buffer, qsizetype(size * count)).trimmed();
    s->replies.append({s->lastCommand, reply});
    if (reply.startsWith("230") && !s->loggedIn) {
        s->loggedIn = true;
        s->events->loggedIn();
    }
    if (s->transferSent && !s->transferAnswered && !reply.isEmpty()) {
        s->transferAnswered = true;
        s->transferRefused = reply[0] == '4' || reply[0] == '5';
    }
    return size * count;
}

// Sees the commands going out (libcurl reports them only with its verbose output on): once the
// transfer command has gone, the server may have begun the file.
int traffic(CURL*, curl_infotype type, char* data, size_t size, void* userdata) {
    if (type != CURLINFO_HEADER_OUT)
        return 0;
    auto* s = static_cast<Connection*>(userdata);
    const QByteArray line(data, qsizetype(size));
    // A command without an argument ("MLSD", "QUIT") is the whole line.
    const qsizetype blank = line.indexOf(' ');
    s->lastCommand = (blank < 0 ? line : line.left(blank)).trimmed().toUpper();
    if (!s->transferVerb.isEmpty() && s->lastCommand == s->transferVerb && !s->transferSent) {
        s->transferSent = true;
        // A RETR counts to the size the server named before it.
        if (s->total < 0 && !s->sizes().isEmpty())
            s->total = s->sizes().first();
        s->events->started(s->total);
    }
    return 0;
}

int progress(void* userdata, curl_off_t, curl_off_t downNow, curl_off_t, curl_off_t upNow) {
    auto* s = static_cast<Connection*>(userdata);
    const qint64 done = qint64(s->transferVerb == "STOR" ? upNow : downNow);
    if (s->transferSent && done != s->shown) {
        s->shown = done;
        s->events->progress(done);
    }
    return 0;
}

QByteArray serverUrl(const DestinationConfig& config, const QString& path) {
    QUrl url;
    url.setScheme(QStringLiteral("ftp"));
    url.setHost(config.host);
    url.setPort(config.port);
    return url.toEncoded() + '/' + QUrl::toPercentEncoding(path, "/");
}

bool hasLineBreak(const QString& path) {
    return path.contains(QLatin1Char('\r')) || path.contains(QLatin1Char('\n'));
}

QString lineBreakRefusal() {
    return QStringLiteral("Der Pfad enthält einen Zeilenumbruch");
}

QString clientRefusal() {
    return QStringLiteral("Der FTP-Client kann nicht angelegt werden");
}

// The connection, the login and the TLS of every operation.
void configure(CurlEasy& curl, const DestinationConfig& config, Connection& connection,
               const QByteArray& user, const QByteArray& password, DestinationEvents& events) {
    CURL* c = curl.get();
    connection.events = &events;
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "ftp");
    curl_easy_setopt(c, CURLOPT_USERNAME, user.constData());
    curl_easy_setopt(c, CURLOPT_PASSWORD, password.constData());
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, replyLine);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &connection);
    curl_easy_setopt(c, CURLOPT_DEBUGFUNCTION, traffic);
    curl_easy_setopt(c, CURLOPT_DEBUGDATA, &connection);
    curl_easy_setopt(c, CURLOPT_VERBOSE, 1L);
    curl_easy_setopt(c, CURLOPT_FTP_FILEMETHOD, long(CURLFTPMETHOD_NOCWD));
    curl_easy_setopt(c, CURLOPT_FTP_CREATE_MISSING_DIRS, long(CURLFTP_CREATE_DIR_NONE));
    // The transfer itself may take as long as it takes.
    curl.limitTo({FtpDestination::ConnectTimeoutS, 0, 0, FtpDestination::ReplyTimeoutS,
                  FtpDestination::AcceptTimeoutMs});
    // Always binary: an archive sent in ASCII mode is rewritten by servers that convert line ends.
    curl_easy_setopt(c, CURLOPT_TRANSFERTEXT, 0L);
    const bool tls = config.protocol == 1;
    // Active data connections only without TLS: this libcurl sends the data of an active FTPS
    // transfer unencrypted after PROT P, so FTPS always goes passive.
    if (!config.passive && !tls)
        curl_easy_setopt(c, CURLOPT_FTPPORT, "-"); // active, on the control connection's address
    if (tls) {
        // TLS or nothing: a server that refuses AUTH never sees the password in clear.
        curl_easy_setopt(c, CURLOPT_USE_SSL, long(CURLUSESSL_ALL));
        curl_easy_setopt(c, CURLOPT_FTPSSLAUTH, long(CURLFTPAUTH_TLS));
        connection.keys.host = config.host;
        connection.keys.port = config.port;
        connection.keys.keysFolder = config.keysFolder;
        connection.keys.attended = config.attended;
        connection.keys.jobName = config.jobName;
        connection.keys.note = [&events](const QString& line) { events.line(line); };
        curl.verifyByAuthorityOrKey(connection.keys);
    } else {
        curl_easy_setopt(c, CURLOPT_USE_SSL, long(CURLUSESSL_NONE));
    }
}

QString failureText(CURLcode code, const Connection& connection, const CurlEasy& curl) {
    if (!connection.keys.refusal.isEmpty())
        return connection.keys.refusal;
    if (code == CURLE_USE_SSL_FAILED)
        return QStringLiteral(
            "Der FTP-Server lehnt TLS ab; ohne Verschlüsselung wird nichts übertragen");
    return curl.errorText(code);
}

// Commands sent after the login, '*' in front: a refusal does not end the connection.
bool addCommands(CurlList& list, std::initializer_list<QByteArray> commands) {
    for (const QByteArray& command : commands)
        if (!list.append(command))
            return false;
    return true;
}

void syncFolder(const QString& path) {
    const int fd = ::open(QFile::encodeName(QFileInfo(path).absolutePath()).constData(),
                          O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

} // namespace

FtpDestination::FtpDestination(const DestinationConfig& config) : m_config(config) {}

DestinationProperties FtpDestination::properties() const {
    DestinationProperties p;
    p.atomicStore = false;
    return p;
}

StoreResult FtpDestination::store(const QString& localPath, const QString& remoteName,
                                  DestinationEvents& events) {
    StoreResult result;
    const QString remotePath = m_config.pathPrefix + remoteName;
    if (hasLineBreak(remotePath)) {
        result.error = lineBreakRefusal();
        return result;
    }
    const QByteArray localName = QFile::encodeName(localPath);
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(localName.constData(), "rb"));
    if (!file) {
        result.error = QStringLiteral("Die ZIP-Datei kann nicht gelesen werden: ") + localPath;
        return result;
    }
    const qint64 size = QFileInfo(localPath).size();

    CurlEasy curl;
    if (!curl.valid()) {
        result.error = clientRefusal();
        return result;
    }
    CURL* c = curl.get();
    // One STOR of the whole path, without changing or creating folders.
    const QByteArray urlText = serverUrl(m_config, remotePath);
    Connection connection;
    connection.transferVerb = "STOR";
    connection.total = size;
    connection.in = file.get();
    const QByteArray user = m_config.user.toUtf8();
    const QByteArray password = m_config.password.toUtf8();
    // The server's own account of what it stored; '*': a server without SIZE does not fail the
    // store.
    CurlList after;
    if (!addCommands(after, {"*SIZE " + remotePath.toUtf8()})) {
        result.error = QStringLiteral("Kein Speicher für die FTP-Befehle");
        return result;
    }

    configure(curl, m_config, connection, user, password, events);
    curl_easy_setopt(c, CURLOPT_URL, urlText.constData());
    curl_easy_setopt(c, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(c, CURLOPT_INFILESIZE_LARGE, curl_off_t(size));
    curl_easy_setopt(c, CURLOPT_READFUNCTION, readChunk);
    curl_easy_setopt(c, CURLOPT_READDATA, &connection);
    curl_easy_setopt(c, CURLOPT_UPLOAD_BUFFERSIZE, UploadBufferBytes);
    curl_easy_setopt(c, CURLOPT_POSTQUOTE, after.get());
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, progress);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, &connection);

    const CURLcode code = curl.perform();
    if (connection.transferSent)
        events.finished();
    // A STOR the server took on and that did not end in a whole file leaves a cut file.
    result.remoteTouched = connection.transferSent && !connection.transferRefused;
    if (code != CURLE_OK) {
        result.error = failureText(code, connection, curl);
        result.keyUnconfirmed = connection.keys.unconfirmedKey;
        return result;
    }

    // A store is only done when the whole file arrived: what was read, sent and stored must all
    // be the file's size.
    curl_off_t sent = 0;
    curl_easy_getinfo(c, CURLINFO_SIZE_UPLOAD_T, &sent);
    const QList<qint64> sizes = connection.sizes();
    const qint64 remote = sizes.isEmpty() ? -1 : sizes.last();
    result.remoteSize = remote;
    if (connection.read != size || qint64(sent) != size || (remote >= 0 && remote != size)) {
        result.error =
            QStringLiteral("Die Datei ist auf dem FTP-Server unvollständig: %1 von %2 Bytes")
                .arg(remote >= 0 ? remote : qint64(sent))
                .arg(size);
        return result;
    }
    result.stored = true;
    result.remoteTouched = false;
    return result;
}

FetchResult FtpDestination::retrieve(const QString& remotePath, int fd, QIODevice* sink,
                                     DestinationEvents& events) {
    FetchResult result;
    if (hasLineBreak(remotePath)) {
        result.error = lineBreakRefusal();
        return result;
    }
    CurlEasy curl;
    if (!curl.valid()) {
        result.error = clientRefusal();
        return result;
    }
    CURL* c = curl.get();
    const QByteArray urlText = serverUrl(m_config, remotePath);
    Connection connection;
    connection.transferVerb = "RETR";
    connection.out = fd;
    connection.sink = sink;
    const QByteArray user = m_config.user.toUtf8();
    const QByteArray password = m_config.password.toUtf8();
    // The size before and after the RETR: the file must not change while it is read, and what
    // arrived must be all of it. TYPE I first: some servers answer SIZE only in binary mode.
    const QByteArray sizeCommand = "*SIZE " + remotePath.toUtf8();
    CurlList before;
    CurlList after;
    if (!addCommands(before, {"*TYPE I", sizeCommand}) || !addCommands(after, {sizeCommand})) {
        result.error = QStringLiteral("Kein Speicher für die FTP-Befehle");
        return result;
    }

    configure(curl, m_config, connection, user, password, events);
    curl_easy_setopt(c, CURLOPT_URL, urlText.constData());
    curl_easy_setopt(c, CURLOPT_QUOTE, before.get());
    curl_easy_setopt(c, CURLOPT_POSTQUOTE, after.get());
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, writeChunk);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &connection);
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, progress);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, &connection);

    const CURLcode code = curl.perform();
    if (connection.transferSent)
        events.finished();
    result.bytes = connection.received;
    const QList<qint64> sizes = connection.sizes();
    const QByteArray firstSize = connection.replyTo("SIZE");
    if (code != CURLE_OK) {
        if (!connection.writeError.isEmpty())
            result.error =
                QStringLiteral("Die Datei kann nicht geschrieben werden: ") + connection.writeError;
        else if (firstSize.startsWith("550") && connection.keys.refusal.isEmpty())
            result.error =
                QStringLiteral("Die Datei %1 gibt es auf dem FTP-Server nicht").arg(remotePath);
        else
            result.error = failureText(code, connection, curl);
        return result;
    }
    const qint64 sizeBefore = firstSize.startsWith("213 ") && !sizes.isEmpty() ? sizes.first() : -1;
    const qint64 sizeAfter = sizes.size() >= 2 ? sizes.last() : -1;
    if (sizeBefore >= 0 && sizeAfter >= 0 && sizeBefore != sizeAfter) {
        result.error = QStringLiteral("Die Datei %1 hat sich auf dem FTP-Server während des "
                                      "Abrufs geändert: vorher %2, nachher %3 Bytes")
                           .arg(remotePath)
                           .arg(sizeBefore)
                           .arg(sizeAfter);
        return result;
    }
    const qint64 expected = sizeAfter >= 0 ? sizeAfter : sizeBefore;
    if (expected >= 0 && connection.received != expected) {
        result.error = QStringLiteral("Die Datei %1 ist vom FTP-Server unvollständig "
                                      "angekommen: %2 von %3 Bytes")
                           .arg(remotePath)
                           .arg(connection.received)
                           .arg(expected);
        return result;
    }
    result.fetched = true;
    return result;
}

FetchResult FtpDestination::fetch(const QString& remoteName, const QString& localPath,
                                  DestinationEvents& events) {
    FetchResult result;
    // A name of its own beside the target, made new (O_EXCL: never an existing file or link).
    QByteArray tempName = QFile::encodeName(localPath) + ".part.XXXXXX";
    const int fd = ::mkostemp(tempName.data(), O_CLOEXEC);
    if (fd < 0) {
        result.error =
            QStringLiteral("Die Datei %1 kann nicht angelegt werden: %2")
                .arg(QFile::decodeName(tempName), QString::fromLocal8Bit(std::strerror(errno)));
        return result;
    }
    result = retrieve(m_config.pathPrefix + remoteName, fd, nullptr, events);
    if (result.fetched && ::fsync(fd) != 0) {
        result.fetched = false;
        result.error = QStringLiteral("Die Datei kann nicht geschrieben werden: ") +
                       QString::fromLocal8Bit(std::strerror(errno));
    }
    const bool closed = ::close(fd) == 0;
    if (result.fetched && !closed) {
        result.fetched = false;
        result.error = QStringLiteral("Die Datei kann nicht geschrieben werden: ") +
                       QString::fromLocal8Bit(std::strerror(errno));
    }
    // rename replaces whatever stands at the path itself; it never writes through a link.
    if (result.fetched &&
        ::rename(tempName.constData(), QFile::encodeName(localPath).constData()) != 0) {
        result.fetched = false;
        result.error = QStringLiteral("Die Datei %1 kann nicht ersetzt werden: %2")
                           .arg(localPath, QString::fromLocal8Bit(std::strerror(errno)));
    }
    if (!result.fetched) {
        ::unlink(tempName.constData());
        return result;
    }
    syncFolder(localPath);
    return result;
}

FetchResult FtpDestination::fetchInto(const QString& remoteName, QIODevice& sink,
                                      DestinationEvents& events) {
    return retrieve(m_config.pathPrefix + remoteName, -1, &sink, events);
}

StatResult FtpDestination::stat(const QString& remoteName, DestinationEvents& events) {
    StatResult result;
    const QString remotePath = m_config.pathPrefix + remoteName;
    if (hasLineBreak(remotePath)) {
        result.error = lineBreakRefusal();
        return result;
    }
    CurlEasy curl;
    if (!curl.valid()) {
        result.error = clientRefusal();
        return result;
    }
    CURL* c = curl.get();
    Connection connection;
    const QByteArray user = m_config.user.toUtf8();
    const QByteArray password = m_config.password.toUtf8();
    const QByteArray path = remotePath.toUtf8();
    CurlList commands;
    if (!addCommands(commands, {"*TYPE I", "*SIZE " + path, "*MDTM " + path})) {
        result.error = QStringLiteral("Kein Speicher für die FTP-Befehle");
        return result;
    }
    configure(curl, m_config, connection, user, password, events);
    const QByteArray urlText = serverUrl(m_config, QString());
    curl_easy_setopt(c, CURLOPT_URL, urlText.constData());
    curl_easy_setopt(c, CURLOPT_NOBODY, 1L);
    curl_easy_setopt(c, CURLOPT_QUOTE, commands.get());
    curl_easy_setopt(c, CURLOPT_TIMEOUT, long(CommandTimeoutS));

    const CURLcode code = curl.perform();
    if (code != CURLE_OK) {
        result.error = failureText(code, connection, curl);
        return result;
    }
    const QByteArray size = connection.replyTo("SIZE");
    if (size.startsWith("550"))
        return result; // no such file
    bool ok = false;
    const qint64 bytes = size.startsWith("213 ") ? size.mid(4).trimmed().toLongLong(&ok) : -1;
    if (!ok) {
        result.error = QStringLiteral("Der FTP-Server nennt die Größe von %1 nicht: %2")
                           .arg(remotePath, QString::fromUtf8(size));
        return result;
    }
    result.file.exists = true;
    result.file.size = bytes;
    // MDTM: YYYYMMDDHHMMSS[.sss] in UTC; a server without it leaves the time unknown.
    const QByteArray mdtm = connection.replyTo("MDTM");
    if (mdtm.startsWith("213 ")) {
        const QString stamp = QString::fromLatin1(mdtm.mid(4).trimmed()).left(14);
        QDateTime modified = QDateTime::fromString(stamp, QStringLiteral("yyyyMMddHHmmss"));
        if (modified.isValid()) {
            modified.setTimeZone(QTimeZone::utc());
            result.file.modified = modified;
        }
    }
    return result;
}

RemoveResult FtpDestination::remove(const QString& remoteName, DestinationEvents& events) {
    RemoveResult result;
    const QString remotePath = m_config.pathPrefix + remoteName;
    if (hasLineBreak(remotePath)) {
        result.error = lineBreakRefusal();
        return result;
    }
    CurlEasy curl;
    if (!curl.valid()) {
        result.error = clientRefusal();
        return result;
    }
    CURL* c = curl.get();
    Connection connection;
    const QByteArray user = m_config.user.toUtf8();
    const QByteArray password = m_config.password.toUtf8();
    const QByteArray path = remotePath.toUtf8();
    // DELE, then SIZE tells whether the file is gone: a refused DELE of a file that was never
    // there is no failure.
    CurlList commands;
    if (!addCommands(commands, {"*TYPE I", "*DELE " + path, "*SIZE " + path})) {
        result.error = QStringLiteral("Kein Speicher für die FTP-Befehle");
        return result;
    }
    configure(curl, m_config, connection, user, password, events);
    const QByteArray urlText = serverUrl(m_config, QString());
    curl_easy_setopt(c, CURLOPT_URL, urlText.constData());
    curl_easy_setopt(c, CURLOPT_NOBODY, 1L);
    curl_easy_setopt(c, CURLOPT_QUOTE, commands.get());
    curl_easy_setopt(c, CURLOPT_TIMEOUT, long(CommandTimeoutS));

    const CURLcode code = curl.perform();
    if (code != CURLE_OK) {
        result.error = failureText(code, connection, curl);
        return result;
    }
    const bool stillThere = connection.replyTo("SIZE").startsWith("213 ");
    if (!stillThere) {
        result.removed = true;
        return result;
    }
    const QByteArray dele = connection.replyTo("DELE");
    const bool named = dele.startsWith("250") || dele.startsWith("450") || dele.startsWith("550") ||
                       dele.startsWith("553");
    result.error = named ? QString::fromUtf8(dele) : QStringLiteral("Die Datei ist noch vorhanden");
    return result;
}

namespace {

struct Listing {
    QByteArray data;
    bool tooLong = false;
};

size_t listingChunk(char* data, size_t size, size_t count, void* userdata) {
    auto* l = static_cast<Listing*>(userdata);
    const size_t n = size * count;
    if (l->data.size() + qint64(n) > FtpDestination::ListMaxBytes) {
        l->tooLong = true;
        return 0;
    }
    l->data.append(data, qsizetype(n));
    return n;
}

// The part of a listed name after `lead`; false when it does not begin with it.
bool afterLead(const QString& name, const QString& lead, QString& rest) {
    if (!name.startsWith(lead) || name.size() == lead.size())
        return false;
    rest = name.mid(lead.size());
    return true;
}

} // namespace

QList<RemoteEntry> FtpDestination::parseMlsd(const QByteArray& listing, const QString& lead) {
    QList<RemoteEntry> files;
    for (QByteArray line : listing.split('\n')) {
        if (line.endsWith('\r'))
            line.chop(1);
        // "type=file;size=123;modify=20261211020000; Lager3.ZIP": the facts, one blank, the name.
        const qsizetype blank = line.indexOf(' ');
        if (blank <= 0)
            continue;
        const QString name = QString::fromUtf8(line.mid(blank + 1));
        RemoteEntry entry;
        bool isFile = false;
        for (const QByteArray& fact : line.left(blank).split(';')) {
            const qsizetype eq = fact.indexOf('=');
            if (eq < 0)
                continue;
            const QByteArray key = fact.left(eq).toLower();
            const QByteArray value = fact.mid(eq + 1);
            if (key == "type")
                isFile = value.toLower() == "file";
            else if (key == "size") {
                bool ok = false;
                const qint64 size = value.toLongLong(&ok);
                if (ok)
                    entry.size = size;
            } else if (key == "modify") {
                QDateTime modified = QDateTime::fromString(QString::fromLatin1(value.left(14)),
                                                           QStringLiteral("yyyyMMddHHmmss"));
                if (modified.isValid()) {
                    modified.setTimeZone(QTimeZone::utc());
                    entry.modified = modified;
                }
            }
        }
        if (isFile && afterLead(name, lead, entry.name))
            files.append(entry);
    }
    return files;
}

QList<RemoteEntry> FtpDestination::parseNlst(const QByteArray& listing, const QString& lead) {
    QList<RemoteEntry> files;
    for (QByteArray line : listing.split('\n')) {
        if (line.endsWith('\r'))
            line.chop(1);
        QString name = QString::fromUtf8(line);
        name = name.mid(name.lastIndexOf(QLatin1Char('/')) + 1);
        RemoteEntry entry;
        if (!name.isEmpty() && afterLead(name, lead, entry.name))
            files.append(entry);
    }
    return files;
}

QString FtpDestination::listWith(const QByteArray& verb, const QString& folder, QByteArray& listing,
                                 QByteArray& reply, DestinationEvents& events) {
    CurlEasy curl;
    if (!curl.valid())
        return clientRefusal();
    CURL* c = curl.get();
    Connection connection;
    Listing answer;
    const QByteArray user = m_config.user.toUtf8();
    const QByteArray password = m_config.password.toUtf8();
    configure(curl, m_config, connection, user, password, events);
    // A listing goes into the folder (CWD) and lists it there: servers differ in what they make
    // of a path after MLSD or NLST.
    curl_easy_setopt(c, CURLOPT_FTP_FILEMETHOD, long(CURLFTPMETHOD_SINGLECWD));
    const QByteArray urlText = serverUrl(m_config, folder);
    curl_easy_setopt(c, CURLOPT_URL, urlText.constData());
    curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, verb.constData());
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, listingChunk);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &answer);
    curl_easy_setopt(c, CURLOPT_TIMEOUT, long(ListTimeoutS));
    const CURLcode code = curl.perform();
    reply = connection.replyTo(verb);
    if (answer.tooLong)
        return QStringLiteral("Die Liste des Ordners %1 ist länger als %2 MiB")
            .arg(folder.isEmpty() ? QStringLiteral(".") : folder)
            .arg(ListMaxBytes / (1024 * 1024));
    if (code != CURLE_OK)
        return failureText(code, connection, curl);
    listing = answer.data;
    return QString();
}

ListResult FtpDestination::list(DestinationEvents& events) {
    ListResult result;
    const QString& prefix = m_config.pathPrefix;
    if (hasLineBreak(prefix)) {
        result.error = lineBreakRefusal();
        return result;
    }
    const qsizetype slash = prefix.lastIndexOf(QLatin1Char('/'));
    const QString folder = prefix.left(slash + 1);
    const QString lead = prefix.mid(slash + 1);
    QByteArray listing;
    QByteArray reply;
    QString error = listWith("MLSD", folder, listing, reply, events);
    if (error.isEmpty()) {
        result.files = parseMlsd(listing, lead);
        result.listed = true;
        return result;
    }
    // 500, 502, 504: the server does not know MLSD; the names alone then.
    if (!(reply.startsWith("500") || reply.startsWith("502") || reply.startsWith("504"))) {
        result.error = error;
        return result;
    }
    error = listWith("NLST", folder, listing, reply, events);
    // Some servers answer NLST of an empty folder with 450 or 550 ("No files found"); the folder
    // itself was there, its CWD went through.
    if (!error.isEmpty() && (reply.startsWith("450") || reply.startsWith("550"))) {
        result.listed = true;
        return result;
    }
    if (!error.isEmpty()) {
        result.error = error;
        return result;
    }
    result.files = parseNlst(listing, lead);
    result.listed = true;
    return result;
}
