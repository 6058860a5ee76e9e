#include "transfer/sftp/SftpDestination.h"

#include "platform/DiskSync.h"
#include "platform/ProgramError.h"
#include "transfer/sftp/TTGPuttySFTP.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

// SSH_FX_NO_SUCH_FILE: the server has no file of that name.
constexpr qint32 NoSuchFile = 2;

// Blanks and control characters at either end go; inside, the text stays as it is.
QString trimmed(const QString& text) {
    qsizetype begin = 0, end = text.size();
    while (begin < end && (text[begin].isSpace() || text[begin].category() == QChar::Other_Control))
        ++begin;
    while (end > begin &&
           (text[end - 1].isSpace() || text[end - 1].category() == QChar::Other_Control))
        --end;
    return text.mid(begin, end - begin);
}

struct Disconnect {
    TTGPuttySFTP& session;
    ~Disconnect() {
        try {
            session.Disconnect();
        } catch (const std::exception&) {
        }
    }
};

} // namespace

SftpDestination::SftpDestination(DestinationConfig config) : m_config(std::move(config)) {}

SftpDestination::~SftpDestination() = default;

DestinationProperties SftpDestination::properties() const {
    DestinationProperties p;
    p.atomicStore = false;
    p.reportsSize = true;
    return p;
}

QString SftpDestination::knownHostsFile() const {
    return m_config.keysFolder + QStringLiteral("known_hosts");
}

void SftpDestination::prepare(TTGPuttySFTP& s, DestinationEvents& events, bool verbose) {
    s.setHostName(m_config.host.toUtf8());
    s.setUserName(m_config.user.toUtf8());
    s.setPassword(m_config.password.toUtf8());
    s.setPort(m_config.port);
    if (!m_config.keysFolder.isEmpty())
        s.setKnownHostsFile(knownHostsFile());
    if (verbose) {
        s.OnMessage = [&events](const QByteArray& m, bool) {
            events.line(trimmed(QString::fromUtf8(m)));
        };
        s.OnGetInput = [&events](bool& cancel) {
            events.line(QStringLiteral("Replying with empty line."));
            cancel = false;
            return QByteArray();
        };
    }
    s.OnProgress = [this, &events](qint64 bytes, bool) { return progress(events, bytes); };
    s.OnVerifyHostKey = [this, &events](const QByteArray& h, qint32 p, const QByteArray& f,
                                        qint32 st, bool& store) {
        return verifyHostKey(events, h, p, f, st, store);
    };
}

bool SftpDestination::progress(DestinationEvents& events, qint64 bytes) {
    events.progress(bytes);
    return true;
}

StoreResult SftpDestination::store(const QString& localPath, const QString& remoteName,
                                   DestinationEvents& events) {
    StoreResult result;
    m_hostKeyUnanswered = false;
    std::unique_ptr<TTGPuttySFTP> session;
    try {
        session = std::make_unique<TTGPuttySFTP>(true);
    } catch (const std::exception& e) {
        result.error = exceptionText(e);
        return result;
    }
    TTGPuttySFTP& s = *session;
    prepare(s, events, true);
    const QByteArray remote = (m_config.pathPrefix + remoteName).toUtf8();
    try {
        Disconnect disconnect{s};
        s.Connect();
        if (s.Connected()) {
            const QDateTime lastWrite = QFileInfo(localPath).lastModified(); // of a link's target
            QFile file(localPath);
            if (!file.open(QIODevice::ReadOnly))
                throw ProgramError(QStringLiteral("Die Datei %1 kann nicht gelesen werden: %2")
                                       .arg(localPath, file.errorString()));
            m_total = file.size();
            events.started(m_total);
            struct Finished {
                DestinationEvents& events;
                ~Finished() { events.finished(); }
            } finished{events};
            fxp_attrs arrived{};
            result.remoteTouched = true; // from here on the server may hold a part of the file
            try {
                s.UploadStream(remote, &file, false);
                s.SetModifiedDate(remote, lastWrite, false, &arrived);
            } catch (...) {
                // Only the time stamp failed: the file is whole and stays.
                if ((arrived.flags & TG_ATTR_SIZE) && qint64(arrived.size) == m_total)
                    result.remoteTouched = false;
                throw;
            }
            result.remoteSize = (arrived.flags & TG_ATTR_SIZE) ? qint64(arrived.size) : -1;
            result.stored = true;
            result.remoteTouched = false;
        }
    } catch (const std::exception& e) {
        result.stored = false;
        result.error = exceptionText(e);
    }
    result.hostKeyUnanswered = m_hostKeyUnanswered;
    return result;
}

RemoveResult SftpDestination::remove(const QString& remoteName, DestinationEvents&) {
    RemoveResult result;
    // A connection of its own: the store's may be the one that broke. It takes the host key a
    // connection of this destination was given, and nothing else.
    const QByteArray remote = (m_config.pathPrefix + remoteName).toUtf8();
    const QByteArray acceptedKey = m_acceptedHostKey;
    try {
        TTGPuttySFTP r(false);
        r.setHostName(m_config.host.toUtf8());
        r.setUserName(m_config.user.toUtf8());
        r.setPassword(m_config.password.toUtf8());
        r.setPort(m_config.port);
        // A server that stalls must not hold each attempt long.
        r.setConnectionTimeoutTicks(RemovalTimeoutMs);
        r.setTimeoutTicks(RemovalTimeoutMs);
        r.OnVerifyHostKey = [acceptedKey](const QByteArray&, qint32, const QByteArray& fingerprint,
                                          qint32 status, bool& store) {
            store = false;
            return status == TG_HOSTKEY_KNOWN || fingerprint == acceptedKey;
        };
        Disconnect disconnect{r};
        r.Connect();
        try {
            r.DeleteFile(remote);
        } catch (const TGPuttySFTPException&) {
            fxp_attrs attrs{};
            try {
                r.GetStat(remote, attrs);
            } catch (const TGPuttySFTPException&) {
                result.removed = true; // nothing there: the server never made the file
                return result;
            }
            throw;
        }
        result.removed = true;
    } catch (const std::exception& e) {
        result.error = exceptionText(e);
    }
    return result;
}

StatResult SftpDestination::stat(const QString& remoteName, DestinationEvents& events) {
    StatResult result;
    m_hostKeyUnanswered = false;
    try {
        TTGPuttySFTP s(false);
        prepare(s, events, false);
        Disconnect disconnect{s};
        s.Connect();
        fxp_attrs attrs{};
        try {
            s.GetStat((m_config.pathPrefix + remoteName).toUtf8(), attrs);
        } catch (const TGPuttySFTPException&) {
            if (s.ErrorCode() != NoSuchFile)
                throw;
            result.hostKeyUnanswered = m_hostKeyUnanswered;
            return result; // absent
        }
        result.file.exists = true;
        if (attrs.flags & TG_ATTR_SIZE)
            result.file.size = qint64(attrs.size);
        if (attrs.flags & TG_ATTR_ACMODTIME)
            result.file.modified = QDateTime::fromSecsSinceEpoch(qint64(attrs.mtime));
    } catch (const std::exception& e) {
        result.error = exceptionText(e);
    }
    result.hostKeyUnanswered = m_hostKeyUnanswered;
    return result;
}

ListResult SftpDestination::list(DestinationEvents& events) {
    ListResult result;
    m_hostKeyUnanswered = false;
    const QString& prefix = m_config.pathPrefix;
    const qsizetype slash = prefix.lastIndexOf(QLatin1Char('/'));
    // The login folder is "."; "/" stays the root.
    const QString folder = slash < 0 ? QStringLiteral(".") : prefix.left(slash + 1);
    const QString lead = prefix.mid(slash + 1);
    try {
        TTGPuttySFTP s(false);
        prepare(s, events, false);
        QList<RemoteEntry> files;
        s.OnListing = [&files, &lead](const fxp_names* names) {
            for (int32_t i = 0; i < names->nnames; ++i) {
                const fxp_name& n = names->names[i];
                const QString name = QString::fromUtf8(n.filename);
                const bool regular = !(n.attrs.flags & TG_ATTR_PERMISSIONS) ||
                                     (n.attrs.permissions & 0170000) == 0100000;
                if (!regular || !name.startsWith(lead) || name.size() == lead.size())
                    continue;
                RemoteEntry entry;
                entry.name = name.mid(lead.size());
                if (n.attrs.flags & TG_ATTR_SIZE)
                    entry.size = qint64(n.attrs.size);
                if (n.attrs.flags & TG_ATTR_ACMODTIME)
                    entry.modified = QDateTime::fromSecsSinceEpoch(qint64(n.attrs.mtime));
                files.append(entry);
            }
            return true;
        };
        Disconnect disconnect{s};
        s.Connect();
        s.ListDir(folder.toUtf8());
        result.files = files;
        result.listed = true;
    } catch (const std::exception& e) {
        result.error = exceptionText(e);
    }
    result.hostKeyUnanswered = m_hostKeyUnanswered;
    return result;
}

FetchResult SftpDestination::fetchInto(const QString& remoteName, QIODevice& sink,
                                       DestinationEvents& events) {
    FetchResult result;
    m_hostKeyUnanswered = false;
    try {
        TTGPuttySFTP s(false);
        prepare(s, events, false);
        Disconnect disconnect{s};
        s.Connect();
        const QByteArray remote = (m_config.pathPrefix + remoteName).toUtf8();
        fxp_attrs attrs{};
        s.GetStat(remote, attrs);
        const qint64 size = (attrs.flags & TG_ATTR_SIZE) ? qint64(attrs.size) : -1;
        events.started(size);
        struct Finished {
            DestinationEvents& events;
            ~Finished() { events.finished(); }
        } finished{events};
        const qint64 before = sink.pos();
        s.DownloadStreamP(remote, &sink, false);
        result.bytes = sink.pos() - before;
        if (size >= 0 && result.bytes != size)
            throw ProgramError(
                QStringLiteral("Die Datei %1 kam vom SFTP-Server mit %2 statt %3 Bytes an.")
                    .arg(QString::fromUtf8(remote))
                    .arg(result.bytes)
                    .arg(size));
        result.fetched = true;
    } catch (const std::exception& e) {
        result.error = exceptionText(e);
    }
    result.hostKeyUnanswered = m_hostKeyUnanswered;
    return result;
}

FetchResult SftpDestination::fetch(const QString& remoteName, const QString& localPath,
                                   DestinationEvents& events) {
    FetchResult result;
    const QFileInfo target(localPath);
    // Made anew, never opened through a link: a file of its own beside the target.
    QTemporaryFile part(target.absolutePath() + QLatin1Char('/') + target.fileName() +
                        QStringLiteral(".XXXXXX.part"));
    if (!part.open()) {
        result.error = QStringLiteral("Die Datei %1 kann nicht angelegt werden: %2")
                           .arg(part.fileTemplate(), part.errorString());
        return result;
    }
    result = fetchInto(remoteName, part, events);
    if (!result.fetched)
        return result; // the temporary file goes with `part`
    const QString synced = DiskSync::toDisk(part);
    if (!synced.isEmpty()) {
        result.fetched = false;
        result.error = synced;
        return result;
    }
    // rename() replaces the target, and a link in its place, not what the link points to.
    if (std::rename(QFile::encodeName(part.fileName()).constData(),
                    QFile::encodeName(localPath).constData()) != 0) {
        result.fetched = false;
        result.error = QStringLiteral("Die Datei %1 kann nicht angelegt werden: %2")
                           .arg(localPath, QString::fromLocal8Bit(std::strerror(errno)));
        return result;
    }
    part.setAutoRemove(false);
    return result;
}

bool SftpDestination::verifyHostKey(DestinationEvents& events, const QByteArray& host,
                                    qint32 port, const QByteArray& fingerprint,
                                    qint32 verificationstatus, bool& storehostkey) {
    if (verificationstatus == TG_HOSTKEY_KNOWN) {
        m_acceptedHostKey = fingerprint;
        return true;
    }
    if (verificationstatus == TG_HOSTKEY_CHANGED) {
        const QString h = QString::fromUtf8(host);
        const QString entry = port == 22 ? h : QStringLiteral("[%1]:%2").arg(h).arg(port);
        events.line(
            QStringLiteral("WARNUNG: Der Host-Schlüssel von %1:%2 hat sich geändert. Das kann ein "
                           "Angriff sein. Ist der Server rechtmäßig neu eingerichtet worden: den "
                           "alten Eintrag entfernen (ssh-keygen -R \"%3\" -f %4) und den Upload "
                           "einmal von Hand starten, um den neuen Schlüssel zu bestätigen.")
                .arg(h)
                .arg(port)
                .arg(entry, knownHostsFile()));
    }
    storehostkey = false;
    if (!m_config.askHostKey) {
        refuseKey(events, host, port, fingerprint, verificationstatus,
                  QStringLiteral("die Frage in diesem Lauf schon unbeantwortet blieb"));
        m_hostKeyUnanswered = true;
        return false;
    }
    const QString text = QStringLiteral("Please confirm the SSH host key fingerprint for ") +
                         QString::fromUtf8(host) + QStringLiteral(", port ") +
                         QString::number(port) + QStringLiteral(":") + QStringLiteral("\r\n") +
                         QString::fromUtf8(fingerprint);
    switch (events.askHostKey(text, QStringLiteral("Server Verification"))) {
    case DestinationEvents::HostKeyAnswer::Yes:
        storehostkey = true;
        m_acceptedHostKey = fingerprint;
        return true;
    case DestinationEvents::HostKeyAnswer::No:
        return false;
    case DestinationEvents::HostKeyAnswer::Unanswered:
        refuseKey(events, host, port, fingerprint, verificationstatus,
                  QStringLiteral("die Frage 120 Sekunden unbeantwortet blieb"));
        break;
    case DestinationEvents::HostKeyAnswer::Unattended:
        refuseKey(events, host, port, fingerprint, verificationstatus,
                  QStringLiteral("ohne Bildschirm niemand gefragt werden kann"));
        break;
    }
    m_hostKeyUnanswered = true;
    return false;
}

void SftpDestination::refuseKey(DestinationEvents& events, const QByteArray& host, qint32 port,
                                const QByteArray& fingerprint, qint32 status, const QString& why) {
    const QString h = QString::fromUtf8(host);
    if (status == TG_HOSTKEY_CHANGED)
        events.line(QStringLiteral("FEHLER: Der Host-Schlüssel des SFTP-Servers %1, Port %2 hat "
                                   "sich geändert (%3). Er wurde abgelehnt, weil %4. Ist der "
                                   "Server neu eingerichtet, den alten Eintrag aus %5 entfernen "
                                   "und den Upload einmal von Hand starten, um den neuen "
                                   "Schlüssel zu bestätigen.")
                        .arg(h)
                        .arg(port)
                        .arg(QString::fromUtf8(fingerprint), why, knownHostsFile()));
    else
        events.line(QStringLiteral("FEHLER: Der Host-Schlüssel des SFTP-Servers %1, Port %2 ist "
                                   "nicht bekannt (%3). Er wurde abgelehnt, weil %4. Zum Annehmen "
                                   "den Upload einmal von Hand starten und den Schlüssel "
                                   "bestätigen, oder: ssh-keyscan -p %2 %1 >> %5")
                        .arg(h)
                        .arg(port)
                        .arg(QString::fromUtf8(fingerprint), why, knownHostsFile()));
}
