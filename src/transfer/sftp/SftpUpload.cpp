#include "transfer/sftp/SftpUpload.h"

#include "platform/LogSink.h"
#include "platform/ProgramError.h"
#include "platform/WorkerCall.h"
#include "transfer/sftp/SftpWindow.h"
#include "transfer/sftp/TTGPuttySFTP.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>

namespace {

// Runs f on the application's thread: at once when already there (or when there is no
// application), else through its event queue, waiting for it when wait is set.
template <typename F> void onMainThread(F&& f, bool wait) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || QThread::currentThread() == app->thread()) {
        f();
        return;
    }
    QMetaObject::invokeMethod(app, std::forward<F>(f),
                              wait ? Qt::BlockingQueuedConnection : Qt::QueuedConnection);
}

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

constexpr qint32 RemovalTimeoutMs = 30000;

qint64 nowMs() {
    static QElapsedTimer clock = [] {
        QElapsedTimer c;
        c.start();
        return c;
    }();
    return clock.elapsed();
}

} // namespace

SftpUpload::SftpUpload(LogSink& log, SftpUploadView& view) : m_log(log), m_view(view) {}

SftpUpload::~SftpUpload() {
    // Destroying the session disconnects; a broken connection ends within the library's short
    // goodbye time.
    m_session.reset();
}

void SftpUpload::createSession() {
    try {
        m_session = std::make_unique<TTGPuttySFTP>(true);
    } catch (const std::exception& e) {
        m_log.writelogentry(exceptionText(e));
        return;
    }
    TTGPuttySFTP& s = *m_session;
    s.OnMessage = [this](const QByteArray& m, bool e) { sessionMessage(m, e); };
    s.OnProgress = [this](qint64 b, bool up) { return sessionProgress(b, up); };
    s.OnGetInput = [this](bool& cancel) { return sessionInput(cancel); };
    s.OnVerifyHostKey = [this](const QByteArray& h, qint32 p, const QByteArray& f, qint32 st,
                               bool& store) { return verifyHostKey(h, p, f, st, store); };
}

void SftpUpload::run(const SftpUploadRequest& request) {
    if (!m_session || m_busy)
        return;
    m_request = request;
    TTGPuttySFTP& s = *m_session;
    s.setHostName(request.SFTP_HostName.toUtf8());
    s.setUserName(request.SFTP_UserName.toUtf8());
    s.setPassword(request.SFTP_Password.toUtf8());
    s.setPort(request.SFTP_Port);
    m_busy = true;
    try {
        workerCall([&s] { s.Connect(); });
        if (s.Connected())
            uploadStep();
    } catch (const std::exception& e) {
        m_log.writelogentry(exceptionText(e));
    }
    if (s.Connected()) {
        try {
            workerCall([&s] { s.Disconnect(); });
        } catch (const std::exception&) {
        }
    }
    removeCutFile();
    m_busy = false;
}

void SftpUpload::upload() {
    if (!m_session || m_busy)
        return; // an upload runs already
    m_busy = true;
    try {
        uploadStep();
    } catch (const std::exception& e) {
        m_log.writelogentry(exceptionText(e));
    }
    removeCutFile();
    m_busy = false;
}

void SftpUpload::uploadStep() {
    UploadErfolgreich = false;
    const QString localPath = m_request.sourceFile;
    const QFileInfo info(localPath);
    const QDateTime lastWrite = info.lastModified(); // local time, of the link's target
    QFile file(localPath);
    if (!file.open(QIODevice::ReadOnly))
        throw ProgramError(QStringLiteral("Die Datei %1 kann nicht gelesen werden: %2")
                               .arg(localPath, file.errorString()));
    FTotalToCopy = file.size();
    struct Finally {
        QFile& file;
        SftpUploadView& view;
        ~Finally() {
            file.close();
            view.hideProgress();
        }
    } finally{file, m_view};

    m_view.showProgress(FTotalToCopy / 1024);
    m_view.processMessages();
    m_lastProgressKiB = -1;
    m_lastProgressMs = 0;

    TTGPuttySFTP& s = *m_session;
    const QByteArray remote = m_request.destFile.toUtf8();
    fxp_attrs arrived{};
    const auto whole = [&arrived, this] {
        return (arrived.flags & TG_ATTR_SIZE) && qint64(arrived.size) == FTotalToCopy;
    };
    m_remoteTouched = true; // from here on the server may hold a part of the file
    try {
        workerCall([&] {
            s.UploadStream(remote, &file, false);
            s.SetModifiedDate(remote, lastWrite, false, &arrived);
        });
    } catch (...) {
        // Only the time stamp failed: the file is whole and stays.
        if (whole())
            m_remoteTouched = false;
        throw;
    }
    // A server may acknowledge writes it has not kept; the stat made for the time stamp tells.
    if (!whole())
        throw ProgramError(
            QStringLiteral("Die Datei %1 ist auf dem SFTP-Server %2 Bytes groß statt %3 Bytes; "
                           "sie kam nicht vollständig an.")
                .arg(m_request.destFile)
                .arg(arrived.flags & TG_ATTR_SIZE ? QString::number(arrived.size)
                                                  : QStringLiteral("unbekannt"))
                .arg(FTotalToCopy));
    m_remoteTouched = false;
    UploadErfolgreich = true;
}

void SftpUpload::removeCutFile() {
    if (!m_remoteTouched)
        return;
    m_remoteTouched = false;
    // A connection of its own: the upload's may be the one that broke. It takes the host key
    // the upload's connection was given, and nothing else.
    const QByteArray remote = m_request.destFile.toUtf8();
    const QByteArray acceptedKey = m_acceptedHostKey;
    try {
        TTGPuttySFTP r(false);
        r.setHostName(m_request.SFTP_HostName.toUtf8());
        r.setUserName(m_request.SFTP_UserName.toUtf8());
        r.setPassword(m_request.SFTP_Password.toUtf8());
        r.setPort(m_request.SFTP_Port);
        // A server that stalls must not hold each attempt long.
        r.setConnectionTimeoutTicks(RemovalTimeoutMs);
        r.setTimeoutTicks(RemovalTimeoutMs);
        r.OnVerifyHostKey = [acceptedKey](const QByteArray&, qint32, const QByteArray& fingerprint,
                                          qint32 status, bool& store) {
            store = false;
            return status == TG_HOSTKEY_KNOWN || fingerprint == acceptedKey;
        };
        workerCall([&r, &remote] {
            r.Connect();
            try {
                r.DeleteFile(remote);
            } catch (const TGPuttySFTPException&) {
                fxp_attrs attrs{};
                try {
                    r.GetStat(remote, attrs);
                } catch (const TGPuttySFTPException&) {
                    return; // nothing there: the server never made the file
                }
                throw;
            }
        });
    } catch (const std::exception& e) {
        m_log.writelogentry(QStringLiteral("FEHLER: Die unvollständige Datei %1 konnte nicht vom "
                                           "SFTP-Server entfernt werden: %2")
                                .arg(m_request.destFile, exceptionText(e)));
    }
}

void SftpUpload::sessionMessage(const QByteArray& Msg, bool) {
    const QString text = trimmed(QString::fromUtf8(Msg));
    onMainThread([this, text] { m_log.writelogentry(text); }, true);
}

bool SftpUpload::sessionProgress(qint64 bytescopied, bool) {
    // Called for every acknowledged write: the bar moves when its KiB value changes, at most
    // every 50 ms, without holding the transfer.
    const qint64 kib = bytescopied / 1024;
    const qint64 now = nowMs();
    const bool last = bytescopied >= FTotalToCopy;
    if (kib != m_lastProgressKiB && (last || now - m_lastProgressMs >= 50)) {
        m_lastProgressKiB = kib;
        m_lastProgressMs = now;
        onMainThread(
            [this, kib] {
                m_view.setProgress(kib);
                m_view.processMessages();
            },
            true);
    }
    return true;
}

QByteArray SftpUpload::sessionInput(bool& cancel) {
    onMainThread([this] { m_log.writelogentry(QStringLiteral("Replying with empty line.")); },
                 true);
    cancel = false;
    return QByteArray();
}

bool SftpUpload::verifyHostKey(const QByteArray& host, qint32 port,
                                    const QByteArray& fingerprint, qint32 verificationstatus,
                                    bool& storehostkey) {
    if (verificationstatus == TG_HOSTKEY_KNOWN) {
        m_acceptedHostKey = fingerprint;
        return true;
    }
    if (verificationstatus == TG_HOSTKEY_CHANGED) {
        const QString h = QString::fromUtf8(host);
        const QString entry = port == 22 ? h : QStringLiteral("[%1]:%2").arg(h).arg(port);
        const QString text =
            QStringLiteral("WARNUNG: Der Host-Schlüssel von %1:%2 hat sich geändert. Das kann ein "
                           "Angriff sein. Ist der Server rechtmäßig neu eingerichtet worden: den "
                           "alten Eintrag entfernen (ssh-keygen -R \"%3\" -f %4) und den Upload "
                           "einmal von Hand starten, um den neuen Schlüssel zu bestätigen.")
                .arg(h)
                .arg(port)
                .arg(entry, TTGPuttySFTP::libraryFolder() + QStringLiteral("known_hosts"));
        onMainThread([this, text] { m_log.writelogentry(text); }, true);
    }
    if (!m_askHostKey) {
        logRefusedKey(host, port, fingerprint, verificationstatus,
                      QStringLiteral("die Frage in diesem Lauf schon unbeantwortet blieb"));
        m_hostKeyUnanswered = true;
        return false;
    }
    const QString text = QStringLiteral("Please confirm the SSH host key fingerprint for ") +
                         QString::fromUtf8(host) + QStringLiteral(", port ") +
                         QString::number(port) + QStringLiteral(":") + QStringLiteral("\r\n") +
                         QString::fromUtf8(fingerprint);
    SftpUploadView::HostKeyAnswer answer = SftpUploadView::HostKeyAnswer::No;
    onMainThread([&] { answer = m_view.askHostKey(text, QStringLiteral("Server Verification")); },
                 true);
    switch (answer) {
    case SftpUploadView::HostKeyAnswer::Yes:
        storehostkey = true;
        m_acceptedHostKey = fingerprint;
        return true;
    case SftpUploadView::HostKeyAnswer::No:
        storehostkey = false;
        return false;
    case SftpUploadView::HostKeyAnswer::Unanswered:
        logRefusedKey(host, port, fingerprint, verificationstatus,
                      QStringLiteral("die Frage 120 Sekunden unbeantwortet blieb"));
        break;
    case SftpUploadView::HostKeyAnswer::Unattended:
        logRefusedKey(host, port, fingerprint, verificationstatus,
                      QStringLiteral("ohne Bildschirm niemand gefragt werden kann"));
        break;
    }
    m_hostKeyUnanswered = true;
    storehostkey = false;
    return false;
}

void SftpUpload::logRefusedKey(const QByteArray& host, qint32 port, const QByteArray& fingerprint,
                               qint32 status, const QString& why) {
    const QString h = QString::fromUtf8(host);
    const QString knownHosts = TTGPuttySFTP::libraryFolder() + QStringLiteral("known_hosts");
    QString text;
    if (status == TG_HOSTKEY_CHANGED)
        text = QStringLiteral("FEHLER: Der Host-Schlüssel des SFTP-Servers %1, Port %2 hat sich "
                              "geändert (%3). Er wurde abgelehnt, weil %4. Ist der Server neu "
                              "eingerichtet, den alten Eintrag aus %5 entfernen und den Upload "
                              "einmal von Hand starten, um den neuen Schlüssel zu bestätigen.")
                   .arg(h)
                   .arg(port)
                   .arg(QString::fromUtf8(fingerprint), why, knownHosts);
    else
        text = QStringLiteral("FEHLER: Der Host-Schlüssel des SFTP-Servers %1, Port %2 ist nicht "
                              "bekannt (%3). Er wurde abgelehnt, weil %4. Zum Annehmen den Upload "
                              "einmal von Hand starten und den Schlüssel bestätigen, oder: "
                              "ssh-keyscan -p %2 %1 >> %5")
                   .arg(h)
                   .arg(port)
                   .arg(QString::fromUtf8(fingerprint), why, knownHosts);
    onMainThread([this, text] { m_log.writelogentry(text); }, true);
}

SftpWindow::Outcome HeadlessSftpWindow::showModal(const SftpUploadRequest& request, bool askHostKey,
                                                  LogSink& log) {
    SftpUpload upload(log, *this);
    upload.setAskHostKey(askHostKey);
    upload.createSession();
    upload.run(request);
    return {upload.UploadErfolgreich, upload.hostKeyUnanswered()};
}
