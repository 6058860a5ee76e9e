#include "online/SignedControlFile.h"

#include "online/StagedFile.h"

#include <QFile>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace {

QString systemText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

// Writes the serial under a temporary name beside the file, synced, renamed over it: the file
// is always whole, and never written through a link in its place. Empty when done, else why not.
QString keepSerial(const QString& path, quint64 serial) {
    const QString refused = StagedFile::refusedTarget(path);
    if (!refused.isEmpty())
        return refused;
    const QByteArray temp = QFile::encodeName(path + QStringLiteral(".tmp"));
    ::unlink(temp.constData());
    const int fd = ::open(temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          0600);
    if (fd < 0)
        return systemText(errno);
    const QByteArray text = QByteArray::number(serial) + '\n';
    const bool written = ::write(fd, text.constData(), size_t(text.size())) == text.size() &&
                         ::fsync(fd) == 0;
    const int writeError = errno;
    ::close(fd);
    if (!written || ::rename(temp.constData(), QFile::encodeName(path).constData()) != 0) {
        const int error = written ? errno : writeError;
        ::unlink(temp.constData());
        return systemText(error);
    }
    return QString();
}

} // namespace

quint64 SignedControlFile::highestSerial(const QString& stateFolder) {
    const QByteArray path = QFile::encodeName(stateFolder + QLatin1String(kSerialFileName));
    const int fd = ::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return 0;
    char buffer[32] = {};
    const ssize_t n = ::read(fd, buffer, sizeof buffer - 1);
    ::close(fd);
    if (n <= 0)
        return 0;
    bool ok = false;
    const quint64 serial = QByteArray(buffer, n).trimmed().toULongLong(&ok);
    return ok ? serial : 0;
}

SignedControlFile::Read SignedControlFile::check(const QByteArray& text,
                                                 const QByteArray* signature,
                                                 const UpdateKey& key, const QString& stateFolder,
                                                 const QDate& today) {
    Read read;
    if (key.isSet() &&
        (!signature || !key.verifies(UpdateKey::Kind::ControlFile, text, *signature))) {
        read.error = QStringLiteral("Die Signatur der Steuerdatei ist ungültig, die Steuerdatei "
                                    "wird verworfen");
        return read;
    }
    QString error;
    std::optional<UpdateControlFile> file = UpdateControlFile::parse(text, &error);
    if (!file) {
        read.error = error;
        return read;
    }
    if (today > file->expires) {
        read.error = QStringLiteral("Die Steuerdatei ist am %1 abgelaufen und wird verworfen; "
                                    "der Hersteller muss eine neue signieren (eine alte "
                                    "Steuerdatei könnte ein Update zurückhalten)")
                         .arg(file->expires.toString(QStringLiteral("dd.MM.yyyy")));
        return read;
    }
    const quint64 highest = highestSerial(stateFolder);
    if (file->serial < highest) {
        read.error = QStringLiteral("Die Steuerdatei hat die Seriennummer %1, es galt aber schon "
                                    "die Seriennummer %2: eine ältere Steuerdatei wird "
                                    "verworfen (der Server bietet eine überholte Fassung an)")
                         .arg(file->serial)
                         .arg(highest);
        return read;
    }
    // Only a serial the maker signed counts; an unsigned file (a build without a key) keeps none.
    if (key.isSet() && file->serial > highest) {
        const QString path = stateFolder + QLatin1String(kSerialFileName);
        const QString failed = keepSerial(path, file->serial);
        if (!failed.isEmpty()) {
            // Without the serial kept, an older file could pass next time: nothing is installed.
            read.error = QStringLiteral("Die Seriennummer der Steuerdatei kann nicht in %1 "
                                        "gespeichert werden (%2), die Steuerdatei wird verworfen")
                             .arg(path, failed);
            return read;
        }
    }
    read.file = std::move(file);
    return read;
}

SignedControlFile::Read SignedControlFile::fetch(const QString& url, const QString& caFile,
                                                 const UpdateKey& key, const QString& stateFolder,
                                                 const Get& get, const QDate& today) {
    Read read;
    HttpsRequest request;
    request.url = url;
    request.caFile = caFile;
    const HttpsResult result = get(request);
    if (!result.ok) {
        read.error = QStringLiteral("Die Verbindung zum Server konnte nicht hergestellt werden: ") +
                     result.error;
        return read;
    }
    if (!key.isSet())
        return check(result.body, nullptr, key, stateFolder, today);
    HttpsRequest signatureRequest;
    signatureRequest.url = url + QStringLiteral(".sig");
    signatureRequest.caFile = caFile;
    signatureRequest.maxBytes = UpdateKey::kSignatureSize;
    const HttpsResult signature = get(signatureRequest);
    if (!signature.ok) {
        read.error = QStringLiteral("Die Signatur der Steuerdatei fehlt, die Steuerdatei wird "
                                    "verworfen: ") +
                     signature.error;
        return read;
    }
    return check(result.body, &signature.body, key, stateFolder, today);
}
