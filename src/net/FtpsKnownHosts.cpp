#include "net/FtpsKnownHosts.h"

#include "platform/ProgramError.h"

#include <QFile>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString systemText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

// Closes a descriptor when it goes out of scope.
struct Descriptor {
    int fd = -1;
    ~Descriptor() {
        if (fd >= 0)
            ::close(fd);
    }
};

bool writeAll(int fd, const QByteArray& data) {
    qsizetype done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.constData() + done, size_t(data.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

} // namespace

FtpsKnownHosts::FtpsKnownHosts(const QString& folder) : m_folder(folder) {
    if (!m_folder.isEmpty() && !m_folder.endsWith(QLatin1Char('/')))
        m_folder += QLatin1Char('/');
    m_path = m_folder + QLatin1String(FileName);
}

QString FtpsKnownHosts::entryName(const QString& host, int port) {
    const QString h = host.toLower();
    if (h.contains(QLatin1Char(':')) && !h.startsWith(QLatin1Char('[')))
        return QStringLiteral("[%1]:%2").arg(h).arg(port);
    return QStringLiteral("%1:%2").arg(h).arg(port);
}

QByteArray FtpsKnownHosts::read() const {
    const QByteArray name = QFile::encodeName(m_path);
    Descriptor file;
    // O_NONBLOCK: a pipe planted in the file's place must not hold the upload.
    file.fd = ::open(name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (file.fd < 0) {
        if (errno == ENOENT)
            return QByteArray();
        if (errno == ELOOP)
            throw ProgramError(QStringLiteral("Die Datei %1 ist ein symbolischer Verweis; sie wird "
                                              "weder gelesen noch beschrieben.")
                                   .arg(m_path));
        throw ProgramError(QStringLiteral("Die Datei %1 kann nicht gelesen werden: %2")
                               .arg(m_path, systemText(errno)));
    }
    struct stat st {};
    if (::fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode))
        throw ProgramError(
            QStringLiteral(
                "%1 ist keine gewöhnliche Datei; sie wird weder gelesen noch beschrieben.")
                .arg(m_path));
    QByteArray data;
    char buffer[8192];
    for (;;) {
        const ssize_t n = ::read(file.fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw ProgramError(QStringLiteral("Die Datei %1 kann nicht gelesen werden: %2")
                                   .arg(m_path, systemText(errno)));
        if (n == 0)
            break;
        data.append(buffer, n);
    }
    return data;
}

QByteArray FtpsKnownHosts::valueFor(const QString& entry,
                                    const std::function<bool(const QByteArray&)>& wanted) const {
    const QByteArray name = entry.toUtf8();
    const QList<QByteArray> lines = read().split('\n');
    for (const QByteArray& raw : lines) {
        const QByteArray line = raw.trimmed();
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() >= 2 && fields[0].toLower() == name && wanted(fields[1]))
            return fields[1];
    }
    return QByteArray();
}

QByteArray FtpsKnownHosts::pinFor(const QString& entry) const {
    return valueFor(entry, [](const QByteArray& v) { return v.startsWith("sha256//"); });
}

bool FtpsKnownHosts::authorityMarked(const QString& entry) const {
    return !valueFor(entry, [](const QByteArray& v) { return v == AuthorityMark; }).isEmpty();
}

void FtpsKnownHosts::store(const QString& entry, const QByteArray& pin, const QDate& date) {
    append(entry, pin, date);
}

void FtpsKnownHosts::markAuthority(const QString& entry, const QDate& date) {
    append(entry, AuthorityMark, date);
}

void FtpsKnownHosts::append(const QString& entry, const QByteArray& field, const QDate& date) {
    QByteArray content = read(); // refuses a link or a foreign file in the file's place
    if (!content.isEmpty() && !content.endsWith('\n'))
        content.append('\n');
    content.append(entry.toUtf8() + ' ' + field + " # gespeichert am " +
                   date.toString(Qt::ISODate).toLatin1() + '\n');

    const auto failed = [this](const QString& why) {
        return ProgramError(QStringLiteral("Der Schlüssel kann nicht in %1 gespeichert werden: %2")
                                .arg(m_path, why));
    };
    QByteArray tempName = QFile::encodeName(m_path) + ".XXXXXX";
    Descriptor temp;
    temp.fd = ::mkostemp(tempName.data(), O_CLOEXEC); // O_EXCL: never an existing file or link
    if (temp.fd < 0)
        throw failed(systemText(errno));
    const auto removeTemp = [&tempName] { ::unlink(tempName.constData()); };
    if (::fchmod(temp.fd, 0644) != 0 || !writeAll(temp.fd, content) || ::fsync(temp.fd) != 0) {
        const int error = errno;
        removeTemp();
        throw failed(systemText(error));
    }
    ::close(temp.fd);
    temp.fd = -1;
    // rename replaces whatever stands at the path itself; it never writes through a link.
    if (::rename(tempName.constData(), QFile::encodeName(m_path).constData()) != 0) {
        const int error = errno;
        removeTemp();
        throw failed(systemText(error));
    }
    Descriptor folder;
    folder.fd =
        ::open(QFile::encodeName(m_folder.isEmpty() ? QStringLiteral(".") : m_folder).constData(),
               O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder.fd >= 0)
        ::fsync(folder.fd);
}
