#include "transfer/s3/S3Destination.h"

#include "transfer/s3/S3Client.h"
#include "transfer/s3/S3HashingSink.h"
#include "transfer/s3/S3ListPage.h"

#include <openssl/evp.h>

#include <QFile>
#include <QFileInfo>
#include <QTimeZone>
#include <QXmlStreamReader>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

struct DigestFree {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};

// The SHA-256 (hex) and the MD5 (base64, as Content-MD5 wants it) of `length` bytes of a file
// from `offset`, each only when asked for, in one read of the range. False with `error` set when
// it cannot be read.
bool digestRange(const QString& path, qint64 offset, qint64 length, QByteArray* sha256,
                 QByteArray* md5, QString& error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || !file.seek(offset)) {
        error = QStringLiteral("Die Datei %1 kann nicht gelesen werden: %2")
                    .arg(path, file.errorString());
        return false;
    }
    std::unique_ptr<EVP_MD_CTX, DigestFree> sha(EVP_MD_CTX_new());
    std::unique_ptr<EVP_MD_CTX, DigestFree> sum(EVP_MD_CTX_new());
    if (!sha || !sum || EVP_DigestInit_ex(sha.get(), EVP_sha256(), nullptr) != 1 ||
        EVP_DigestInit_ex(sum.get(), EVP_md5(), nullptr) != 1) {
        error = QStringLiteral("Die Prüfsumme kann nicht berechnet werden");
        return false;
    }
    QByteArray buffer(1024 * 1024, Qt::Uninitialized);
    qint64 left = length;
    while (left > 0) {
        const qint64 n = file.read(buffer.data(), std::min<qint64>(left, buffer.size()));
        if (n <= 0) {
            error = QStringLiteral("Die Datei %1 kann nicht gelesen werden: %2")
                        .arg(path, n < 0 ? file.errorString()
                                         : QStringLiteral("sie ist kürzer geworden"));
            return false;
        }
        if (sha256)
            EVP_DigestUpdate(sha.get(), buffer.constData(), size_t(n));
        if (md5)
            EVP_DigestUpdate(sum.get(), buffer.constData(), size_t(n));
        left -= n;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (sha256) {
        EVP_DigestFinal_ex(sha.get(), digest, &size);
        *sha256 = QByteArray(reinterpret_cast<const char*>(digest), qsizetype(size)).toHex();
    }
    if (md5) {
        EVP_DigestFinal_ex(sum.get(), digest, &size);
        *md5 = QByteArray(reinterpret_cast<const char*>(digest), qsizetype(size)).toBase64();
    }
    return true;
}

// The text of the first element of that name in an XML answer.
QString xmlText(const QByteArray& body, const QString& element) {
    QXmlStreamReader xml(body);
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.isStartElement() && xml.name() == element)
            return xml.readElementText().trimmed();
    }
    return QString();
}

void syncFolder(const QString& path) {
    const int fd = ::open(QFile::encodeName(QFileInfo(path).absolutePath()).constData(),
                          O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

// Whether a refused store says the bucket has no Object Lock.
bool objectLockMissing(const QString& error) {
    return error.contains(QLatin1String("InvalidRequest")) ||
           error.contains(QLatin1String("ObjectLockConfigurationNotFound")) ||
           error.contains(QLatin1String("InvalidBucketState"));
}

QString errnoText() {
    return QString::fromLocal8Bit(std::strerror(errno));
}

} // namespace

S3Destination::S3Destination(const DestinationConfig& config)
    : S3Destination(config, Tuning(), &QDateTime::currentDateTimeUtc) {}

S3Destination::S3Destination(const DestinationConfig& config, Tuning tuning,
                             std::function<QDateTime()> now)
    : m_config(config), m_location(config), m_tuning(std::move(tuning)), m_now(now),
      m_client(std::make_unique<S3Client>(m_location, m_config, std::move(now))) {
    m_client->retryPauseMs = m_tuning.retryPauseMs;
}

S3Destination::~S3Destination() = default;

DestinationProperties S3Destination::properties() const {
    DestinationProperties p;
    p.atomicStore = true;
    p.reportsSize = true;
    p.serverCopy = true;
    return p;
}

qint64 S3Destination::partSize(qint64 size, qint64 minPartBytes) {
    const qint64 spread = (size + MaxParts - 1) / MaxParts;
    const qint64 wholeMiB = (spread + MiB - 1) / MiB * MiB;
    return std::max(minPartBytes, wholeMiB);
}

void S3Destination::flushNotes(DestinationEvents& events) {
    for (const QString& note : m_client->takeNotes())
        events.line(note);
}

StoreResult S3Destination::store(const QString& localPath, const QString& remoteName,
                                 DestinationEvents& events) {
    StoreResult result;
    if (!m_location.error().isEmpty()) {
        result.error = m_location.error();
        return result;
    }
    const QFileInfo info(localPath);
    if (!info.isFile() || !info.isReadable()) {
        result.error = QStringLiteral("Die ZIP-Datei kann nicht gelesen werden: ") + localPath;
        return result;
    }
    const qint64 size = info.size();
    const QString key = m_location.key(remoteName);
    const QString object = m_location.objectName(remoteName);
    // A small question first, so that a server that is not S3, an unknown bucket or wrong keys
    // are named before anything is sent. Keys that may only store objects are refused the
    // question (AccessDenied) and go on.
    bool probeAnswered = false;
    {
        S3Call probe;
        probe.query = {{"location", ""}};
        probe.what = QStringLiteral("die Abfrage des Buckets ") + m_location.bucket();
        const S3Answer answer = m_client->send(probe);
        flushNotes(events);
        probeAnswered = answer.ok;
        if (!answer.ok && answer.code != QLatin1String("AccessDenied")) {
            result.error = answer.error;
            result.keyUnconfirmed = answer.keyUnconfirmed;
            return result;
        }
        if (answer.ok && !answer.body.contains("LocationConstraint")) {
            result.error = QStringLiteral("Der Server %1 antwortet auf %2 nicht wie ein S3-Server")
                               .arg(m_location.serverName(), probe.what);
            return result;
        }
    }
    if (probeAnswered)
        abortLeftUploads(key, object, events);
    const bool multipart = size > m_tuning.multipartAboveBytes;

    // A multipart store reckons the file's SHA-256 while its parts' MD5s are reckoned already.
    QByteArray sha256;
    QByteArray md5;
    if (!multipart && !digestRange(localPath, 0, size, &sha256, &md5, result.error))
        return result;
    QList<QPair<QByteArray, QByteArray>> metadata{
        {"x-amz-meta-mtime",
         info.lastModified().toTimeZone(QTimeZone::utc()).toString(Qt::ISODate).toLatin1()},
    };
    QByteArray lockedUntil;
    if (m_config.objectLockDays > 0) {
        const QDateTime until =
            m_now().toTimeZone(QTimeZone::utc()).addDays(m_config.objectLockDays);
        lockedUntil = until.toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss'Z'")).toLatin1();
        metadata.append({QByteArray("x-amz-object-lock-mode"), QByteArray("COMPLIANCE")});
        metadata.append({QByteArray("x-amz-object-lock-retain-until-date"), lockedUntil});
    }

    events.started(size);
    if (multipart) {
        result.error = multipartStore(localPath, size, key, object, metadata, events);
        // Not every server applies the retention of the upload's start to the object it makes:
        // it is set on the object once more.
        if (result.error.isEmpty() && !lockedUntil.isEmpty()) {
            S3Call retention;
            retention.method = "PUT";
            retention.key = key;
            retention.query = {{"retention", ""}};
            retention.bodyBytes = "<Retention xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\">"
                                  "<Mode>COMPLIANCE</Mode><RetainUntilDate>" +
                                  lockedUntil + "</RetainUntilDate></Retention>";
            retention.headers = {{"content-md5", S3Signer::md5Base64(retention.bodyBytes)}};
            retention.what = QStringLiteral("die Sperre (Object Lock) von ") + object;
            result.error = m_client->send(retention).error;
        }
    } else {
        S3Call put;
        put.method = "PUT";
        put.key = key;
        put.headers = metadata;
        put.headers.append({"x-amz-meta-sha256", sha256});
        put.headers.append({"content-md5", md5});
        put.bodyFile = localPath;
        put.bodySize = size;
        put.payloadHash = sha256;
        put.progress = [&events](qint64 done, qint64) {
            events.progress(done);
            return true;
        };
        put.what = QStringLiteral("das Speichern von ") + object;
        const S3Answer answer = m_client->send(put);
        flushNotes(events);
        if (answer.ok)
            events.loggedIn();
        else
            result.error = answer.error;
    }
    events.finished();
    if (!result.error.isEmpty()) {
        if (m_config.objectLockDays > 0 && objectLockMissing(result.error))
            result.error = QStringLiteral("Der Bucket %1 hat keine Object Lock; ohne sie wird "
                                          "nichts gespeichert (S3ObjectLockDays=%2). %3")
                               .arg(m_location.bucket())
                               .arg(m_config.objectLockDays)
                               .arg(result.error);
        return result;
    }

    // The server's own account of what it holds.
    S3Call head;
    head.method = "HEAD";
    head.key = key;
    head.what = QStringLiteral("die Abfrage von ") + object;
    const S3Answer answer = m_client->send(head);
    if (!answer.ok) {
        result.error = answer.error;
        return result;
    }
    bool ok = false;
    const qint64 remote = answer.header("Content-Length").toLongLong(&ok);
    result.remoteSize = ok ? remote : -1;
    if (result.remoteSize != size) {
        result.error = QStringLiteral("Das Objekt %1 ist auf dem S3-Server %2 statt %3 Bytes groß")
                           .arg(object)
                           .arg(result.remoteSize)
                           .arg(size);
        return result;
    }
    result.stored = true;
    return result;
}

QString S3Destination::multipartStore(const QString& localPath, qint64 size, const QString& key,
                                      const QString& object,
                                      QList<QPair<QByteArray, QByteArray>> metadata,
                                      DestinationEvents& events) {
    const qint64 partBytes = partSize(size, m_tuning.minPartBytes);
    const int parts = int((size + partBytes - 1) / partBytes);
    std::vector<QByteArray> etags(static_cast<size_t>(parts));
    std::unique_ptr<std::atomic<qint64>[]> done(new std::atomic<qint64>[size_t(parts)]);
    for (int i = 0; i < parts; ++i)
        done[size_t(i)] = 0;
    std::atomic<int> next{0};
    std::atomic<bool> failed{false};
    std::mutex mutex;
    std::condition_variable changed;
    // Set once the upload has begun; the parts wait for it (or for `failed`).
    QString uploadId;
    int running = std::max(1, std::min(m_tuning.connections, parts));
    QString failure;
    const auto fail = [&](const QString& error) {
        std::lock_guard lock(mutex);
        if (!failed)
            failure = error;
        failed = true;
        changed.notify_all();
    };

    // The next part's number and MD5 (one read of the part); false when no part is left or it
    // cannot be read (then the upload fails).
    const auto reckonNext = [&](int& index, QByteArray& md5) {
        index = next++;
        if (index >= parts || failed)
            return false;
        const qint64 offset = qint64(index) * partBytes;
        QString error;
        if (!digestRange(localPath, offset, std::min(partBytes, size - offset), nullptr, &md5,
                         error)) {
            fail(error);
            return false;
        }
        return true;
    };
    // Each connection reckons its part's MD5 and then sends it. Until the upload has begun (the
    // file's SHA-256 is reckoned first), a connection reckons up to two more parts ahead.
    const auto work = [&] {
        std::vector<std::pair<int, QByteArray>> ahead;
        for (;;) {
            int index = 0;
            QByteArray md5;
            if (!ahead.empty()) {
                index = ahead.front().first;
                md5 = ahead.front().second;
                ahead.erase(ahead.begin());
            } else if (!reckonNext(index, md5)) {
                break;
            }
            QString id;
            {
                std::unique_lock lock(mutex);
                while (!failed && uploadId.isEmpty() && ahead.size() < 2) {
                    lock.unlock();
                    std::pair<int, QByteArray> more;
                    const bool reckoned = reckonNext(more.first, more.second);
                    lock.lock();
                    if (!reckoned)
                        break;
                    ahead.push_back(std::move(more));
                }
                changed.wait(lock, [&] { return failed || !uploadId.isEmpty(); });
                if (failed)
                    break;
                id = uploadId;
            }
            const qint64 offset = qint64(index) * partBytes;
            const qint64 length = std::min(partBytes, size - offset);
            S3Call put;
            put.method = "PUT";
            put.key = key;
            put.query = {{"partNumber", QByteArray::number(index + 1)}, {"uploadId", id.toUtf8()}};
            put.headers = {{"content-md5", md5}};
            put.bodyFile = localPath;
            put.bodyOffset = offset;
            put.bodySize = length;
            // The part's bytes are not hashed a second time for the signature: over TLS,
            // Content-MD5 guards them against change on the way (the server refuses a part whose
            // MD5 differs), the archive's SHA-256 is in the object's metadata, and the server is
            // spared its own SHA-256 of every part.
            put.payloadHash = S3Signer::UnsignedPayload;
            put.progress = [&, index](qint64 sent, qint64) {
                done[size_t(index)] = sent;
                return !failed;
            };
            put.what =
                QStringLiteral("Teil %1 von %2 des Objekts %3").arg(index + 1).arg(parts).arg(object);
            const S3Answer answer = m_client->send(put);
            QString error = answer.error;
            if (answer.ok && answer.header("ETag").isEmpty())
                error = QStringLiteral("Der Server %1 nennt kein ETag für %2")
                            .arg(m_location.serverName(), put.what);
            if (!error.isEmpty()) {
                fail(error);
                break;
            }
            etags[size_t(index)] = answer.header("ETag");
            done[size_t(index)] = length;
        }
        std::lock_guard lock(mutex);
        --running;
        changed.notify_all();
    };
    std::vector<std::thread> workers;
    const int count = running;
    for (int i = 0; i < count; ++i)
        workers.emplace_back(work);
    const auto joinWorkers = [&] {
        for (std::thread& t : workers)
            t.join();
    };

    // The upload begins with the object's metadata, the file's SHA-256 among them.
    QByteArray sha256;
    QString error;
    if (!digestRange(localPath, 0, size, &sha256, nullptr, error)) {
        fail(error);
        joinWorkers();
        return error;
    }
    if (failed) { // a part could not be read
        joinWorkers();
        return failure;
    }
    metadata.prepend({"x-amz-meta-sha256", sha256});
    S3Call initiate;
    initiate.method = "POST";
    initiate.key = key;
    initiate.query = {{"uploads", ""}};
    initiate.headers = metadata;
    initiate.what = QStringLiteral("den Beginn des Hochladens von ") + object;
    const S3Answer started = m_client->send(initiate);
    flushNotes(events);
    const QString startedId = xmlText(started.body, QStringLiteral("UploadId"));
    if (!started.ok || startedId.isEmpty()) {
        error = !started.ok ? started.error
                            : QStringLiteral("Der Server %1 nennt keine UploadId für %2; er "
                                             "antwortet nicht wie ein S3-Server")
                                  .arg(m_location.serverName(), object);
        fail(error);
        joinWorkers();
        return error;
    }
    {
        std::lock_guard lock(mutex);
        uploadId = startedId;
        changed.notify_all();
    }
    events.loggedIn();

    {
        std::unique_lock lock(mutex);
        while (running > 0) {
            changed.wait_for(lock, std::chrono::milliseconds(200));
            qint64 sum = 0;
            for (int i = 0; i < parts; ++i)
                sum += done[size_t(i)];
            lock.unlock();
            events.progress(sum);
            flushNotes(events);
            lock.lock();
        }
    }
    joinWorkers();

    error = failure;
    if (error.isEmpty()) {
        QList<QByteArray> list(etags.begin(), etags.end());
        if (m_tuning.beforeComplete)
            m_tuning.beforeComplete(list);
        QByteArray xml = "<CompleteMultipartUpload>";
        for (int i = 0; i < list.size(); ++i)
            xml += "<Part><PartNumber>" + QByteArray::number(i + 1) + "</PartNumber><ETag>" +
                   QString::fromLatin1(list[i]).toHtmlEscaped().toLatin1() + "</ETag></Part>";
        xml += "</CompleteMultipartUpload>";
        S3Call complete;
        complete.method = "POST";
        complete.key = key;
        complete.query = {{"uploadId", uploadId.toUtf8()}};
        complete.bodyBytes = xml;
        complete.what = QStringLiteral("den Abschluss des Hochladens von ") + object;
        const S3Answer answer = m_client->send(complete);
        // The server may answer 200 and still report an error in the body.
        const QString code = xmlText(answer.body, QStringLiteral("Code"));
        if (!answer.ok)
            error = answer.error;
        else if (!code.isEmpty())
            error = QStringLiteral("Der S3-Server %1 lehnt %2 ab: %3")
                        .arg(m_location.serverName(), complete.what, code);
        else if (!answer.body.contains("CompleteMultipartUploadResult"))
            error = QStringLiteral("Der Server %1 bestätigt %2 nicht")
                        .arg(m_location.serverName(), complete.what);
    }
    if (error.isEmpty())
        return QString();

    // No part may stay behind on the server (they cost money and are never seen).
    const QString aborted =
        abortUpload(key, uploadId, QStringLiteral("den Abbruch des Hochladens von ") + object);
    if (!aborted.isEmpty())
        error += QStringLiteral("; ") + aborted;
    return error;
}

QString S3Destination::abortUpload(const QString& key, const QString& uploadId,
                                   const QString& what) {
    S3Call abort;
    abort.method = "DELETE";
    abort.key = key;
    abort.query = {{"uploadId", uploadId.toUtf8()}};
    abort.accepted = {200, 204, 404};
    abort.what = what;
    const S3Answer answer = m_client->send(abort);
    return answer.ok ? QString() : answer.error;
}

void S3Destination::abortLeftUploads(const QString& key, const QString& object,
                                     DestinationEvents& events) {
    S3Call list;
    list.query = {{"prefix", key.toUtf8()}, {"uploads", ""}};
    list.what = QStringLiteral("die Abfrage offener Hochladevorgänge von ") + object;
    const S3Answer answer = m_client->send(list);
    if (!answer.ok)
        return; // keys that may only store objects; tonight's store goes on
    QXmlStreamReader xml(answer.body);
    QString uploadKey;
    QString uploadId;
    QString initiated;
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.isStartElement()) {
            if (xml.name() == QLatin1String("Upload")) {
                uploadKey.clear();
                uploadId.clear();
                initiated.clear();
            } else if (xml.name() == QLatin1String("Key")) {
                uploadKey = xml.readElementText();
            } else if (xml.name() == QLatin1String("UploadId")) {
                uploadId = xml.readElementText().trimmed();
            } else if (xml.name() == QLatin1String("Initiated")) {
                initiated = xml.readElementText().trimmed();
            }
        } else if (xml.isEndElement() && xml.name() == QLatin1String("Upload")) {
            // The prefix also finds longer names; only this very object's uploads are ours.
            if (uploadKey != key || uploadId.isEmpty())
                continue;
            const QString failed =
                abortUpload(key, uploadId,
                            QStringLiteral("den Abbruch eines früheren Hochladens von ") + object);
            events.line(failed.isEmpty()
                            ? QStringLiteral("Ein nicht beendetes Hochladen von %1 (begonnen %2) "
                                             "wurde auf dem S3-Server verworfen")
                                  .arg(object, initiated)
                            : failed);
        }
    }
}

FetchResult S3Destination::get(const QString& remoteName, QIODevice& sink,
                               DestinationEvents& events) {
    FetchResult result;
    if (!m_location.error().isEmpty()) {
        result.error = m_location.error();
        return result;
    }
    S3HashingSink hashing(sink);
    S3Call call;
    call.method = "GET";
    call.key = m_location.key(remoteName);
    call.sink = &hashing;
    bool started = false;
    call.progress = [&](qint64 received, qint64 total) {
        if (!started && total > 0) {
            started = true;
            events.started(total);
        }
        if (started)
            events.progress(received);
        return true;
    };
    call.what = QStringLiteral("den Abruf von ") + m_location.objectName(remoteName);
    const S3Answer answer = m_client->send(call);
    flushNotes(events);
    if (started)
        events.finished();
    result.bytes = hashing.pos();
    if (!answer.ok) {
        result.error = answer.error;
        return result;
    }
    bool ok = false;
    const qint64 expected = answer.header("Content-Length").toLongLong(&ok);
    if (!ok || expected != result.bytes) {
        result.error = QStringLiteral("Das Objekt %1 ist vom S3-Server unvollständig angekommen: "
                                      "%2 von %3 Bytes")
                           .arg(m_location.objectName(remoteName))
                           .arg(result.bytes)
                           .arg(ok ? QString::number(expected) : QStringLiteral("unbekannt"));
        return result;
    }
    // The SHA-256 the object was stored with (objects stored by other tools have none).
    const QByteArray stored = answer.header("x-amz-meta-sha256").toLower();
    const QByteArray got = hashing.sha256Hex();
    if (!stored.isEmpty() && stored != got) {
        result.error = QStringLiteral("Das Objekt %1 kam anders an, als es gespeichert wurde: "
                                      "SHA-256 %2 statt %3")
                           .arg(m_location.objectName(remoteName), QString::fromLatin1(got),
                                QString::fromLatin1(stored));
        return result;
    }
    result.fetched = true;
    return result;
}

FetchResult S3Destination::fetch(const QString& remoteName, const QString& localPath,
                                 DestinationEvents& events) {
    FetchResult result;
    // A name of its own beside the target, made new (O_EXCL: never an existing file or link).
    QByteArray tempName = QFile::encodeName(localPath) + ".part.XXXXXX";
    const int fd = ::mkostemp(tempName.data(), O_CLOEXEC);
    if (fd < 0) {
        result.error = QStringLiteral("Die Datei %1 kann nicht angelegt werden: %2")
                           .arg(QFile::decodeName(tempName), errnoText());
        return result;
    }
    {
        QFile out;
        if (!out.open(fd, QIODevice::WriteOnly, QFileDevice::DontCloseHandle)) {
            result.error =
                QStringLiteral("Die Datei kann nicht geschrieben werden: ") + out.errorString();
        } else {
            result = get(remoteName, out, events);
            if (result.fetched && !out.flush()) {
                result.fetched = false;
                result.error =
                    QStringLiteral("Die Datei kann nicht geschrieben werden: ") + out.errorString();
            }
        }
    }
    if (result.fetched && ::fsync(fd) != 0) {
        result.fetched = false;
        result.error = QStringLiteral("Die Datei kann nicht geschrieben werden: ") + errnoText();
    }
    const bool closed = ::close(fd) == 0;
    if (result.fetched && !closed) {
        result.fetched = false;
        result.error = QStringLiteral("Die Datei kann nicht geschrieben werden: ") + errnoText();
    }
    if (result.fetched &&
        ::rename(tempName.constData(), QFile::encodeName(localPath).constData()) != 0) {
        result.fetched = false;
        result.error = QStringLiteral("Die Datei %1 kann nicht ersetzt werden: %2")
                           .arg(localPath, errnoText());
    }
    if (!result.fetched) {
        ::unlink(tempName.constData());
        return result;
    }
    syncFolder(localPath);
    return result;
}

FetchResult S3Destination::fetchInto(const QString& remoteName, QIODevice& sink,
                                     DestinationEvents& events) {
    return get(remoteName, sink, events);
}

StatResult S3Destination::stat(const QString& remoteName, DestinationEvents& events) {
    StatResult result;
    if (!m_location.error().isEmpty()) {
        result.error = m_location.error();
        return result;
    }
    S3Call head;
    head.method = "HEAD";
    head.key = m_location.key(remoteName);
    head.accepted = {200, 404};
    head.what = QStringLiteral("die Abfrage von ") + m_location.objectName(remoteName);
    const S3Answer answer = m_client->send(head);
    flushNotes(events);
    if (!answer.ok) {
        result.error = answer.error;
        return result;
    }
    if (answer.status == 404)
        return result;
    bool ok = false;
    const qint64 size = answer.header("Content-Length").toLongLong(&ok);
    result.file.exists = true;
    result.file.size = ok ? size : -1;
    result.file.modified = S3Client::httpDate(answer.header("Last-Modified"));
    return result;
}

RemoveResult S3Destination::remove(const QString& remoteName, DestinationEvents& events) {
    RemoveResult result;
    if (!m_location.error().isEmpty()) {
        result.error = m_location.error();
        return result;
    }
    S3Call call;
    call.method = "DELETE";
    call.key = m_location.key(remoteName);
    call.accepted = {200, 204, 404};
    call.what = QStringLiteral("das Löschen von ") + m_location.objectName(remoteName);
    const S3Answer answer = m_client->send(call);
    flushNotes(events);
    result.removed = answer.ok;
    result.error = answer.error;
    return result;
}

ListResult S3Destination::list(DestinationEvents& events) {
    ListResult result;
    if (!m_location.error().isEmpty()) {
        result.error = m_location.error();
        return result;
    }
    const QString prefix = m_location.key(QString());
    QString token;
    for (;;) {
        S3Call call;
        call.query = {{"list-type", "2"}, {"prefix", prefix.toUtf8()}, {"delimiter", "/"}};
        if (!token.isEmpty())
            call.query.append({QByteArray("continuation-token"), token.toUtf8()});
        call.what = QStringLiteral("die Liste von ") + m_location.objectName(QString());
        const S3Answer answer = m_client->send(call);
        flushNotes(events);
        if (!answer.ok) {
            result.error = answer.error;
            return result;
        }
        const S3ListPage page = S3ListPage::parse(answer.body, prefix);
        if (!page.error.isEmpty()) {
            result.error = QStringLiteral("Der Server %1 antwortet auf %2 mit %3")
                               .arg(m_location.serverName(), call.what, page.error);
            return result;
        }
        result.files += page.files;
        if (!page.truncated)
            break;
        if (page.nextToken == token) {
            result.error = QStringLiteral("Der Server %1 setzt %2 immer an derselben Stelle fort")
                               .arg(m_location.serverName(), call.what);
            return result;
        }
        token = page.nextToken;
    }
    result.listed = true;
    return result;
}

CopyResult S3Destination::copy(const QString& fromName, const QString& toName,
                               DestinationEvents& events) {
    CopyResult result;
    if (!m_location.error().isEmpty()) {
        result.error = m_location.error();
        return result;
    }
    const QString source = m_location.objectName(fromName);
    const QString target = m_location.objectName(toName);
    S3Call head;
    head.method = "HEAD";
    head.key = m_location.key(fromName);
    head.what = QStringLiteral("die Abfrage von ") + source;
    const S3Answer before = m_client->send(head);
    flushNotes(events);
    if (!before.ok) {
        result.error = before.error;
        return result;
    }
    bool ok = false;
    const qint64 size = before.header("Content-Length").toLongLong(&ok);
    if (!ok || size > CopyMaxBytes) {
        result.unsupported = true;
        result.error = QStringLiteral("Das Objekt %1 ist zu groß, um es auf dem Server zu kopieren")
                           .arg(source);
        return result;
    }

    S3Call put;
    put.method = "PUT";
    put.key = m_location.key(toName);
    put.headers = {{"x-amz-copy-source", '/' +
                                             S3Signer::encode(m_location.bucket().toUtf8(), false) +
                                             '/' + S3Signer::encode(head.key.toUtf8(), true)}};
    if (m_config.objectLockDays > 0) {
        const QDateTime until =
            m_now().toTimeZone(QTimeZone::utc()).addDays(m_config.objectLockDays);
        put.headers.append({QByteArray("x-amz-object-lock-mode"), QByteArray("COMPLIANCE")});
        put.headers.append({QByteArray("x-amz-object-lock-retain-until-date"),
                            until.toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss'Z'")).toLatin1()});
    }
    put.what = QStringLiteral("das Kopieren von %1 nach %2").arg(source, target);
    const S3Answer copied = m_client->send(put);
    flushNotes(events);
    // The server may answer 200 and still report an error in the body.
    const QString code = xmlText(copied.body, QStringLiteral("Code"));
    if (!copied.ok) {
        result.error = copied.error;
        return result;
    }
    if (!code.isEmpty() || !copied.body.contains("CopyObjectResult")) {
        result.error = QStringLiteral("Der S3-Server %1 lehnt %2 ab: %3")
                           .arg(m_location.serverName(), put.what,
                                code.isEmpty() ? QStringLiteral("keine Bestätigung") : code);
        return result;
    }

    head.key = m_location.key(toName);
    head.what = QStringLiteral("die Abfrage von ") + target;
    const S3Answer after = m_client->send(head);
    if (!after.ok) {
        result.error = after.error;
        return result;
    }
    const qint64 copiedSize = after.header("Content-Length").toLongLong(&ok);
    if (!ok || copiedSize != size) {
        result.error = QStringLiteral("Das Objekt %1 ist auf dem S3-Server %2 statt %3 Bytes groß")
                           .arg(target)
                           .arg(ok ? copiedSize : -1)
                           .arg(size);
        return result;
    }
    result.copied = true;
    return result;
}
