#include "transfer/UploadDispatch.h"

#include "platform/ErrorCount.h"
#include "platform/LogSink.h"
#include "platform/ProgramError.h"
#include "platform/WorkerCall.h"
#include "transfer/DestinationCall.h"
#include "transfer/sftp/SftpUploadView.h"

#include <QElapsedTimer>
#include <QFileInfo>

namespace {

qint64 nowMs() {
    static QElapsedTimer clock = [] {
        QElapsedTimer c;
        c.start();
        return c;
    }();
    return clock.elapsed();
}

// What a destination reports during one attempt, handed to the log book and the upload window
// on the window's thread while the destination works on a worker.
class AttemptEvents final : public DestinationEvents {
public:
    AttemptEvents(LogSink& log, SftpUploadView* view, QString loggedInLine)
        : m_log(log), m_view(view), m_loggedInLine(std::move(loggedInLine)) {}
    // An unattended run asks nobody, whatever the window could show.
    void setUnattended() { m_view = nullptr; }

    void line(const QString& text) override {
        WorkerCall::onMainThread([this, &text] { m_log.writelogentry(text); });
    }
    void loggedIn() override {
        if (!m_loggedInLine.isEmpty())
            line(m_loggedInLine);
    }
    void started(qint64 totalBytes) override {
        m_total = totalBytes;
        m_lastKiB = -1;
        m_lastMs = 0;
        if (m_view)
            WorkerCall::onMainThread([this] { m_view->showProgress(m_total / 1024); });
    }
    void progress(qint64 bytesDone) override {
        if (!m_view)
            return;
        // Called for every acknowledged write: the bar moves when its KiB value changes, at
        // most every 50 ms, without holding the transfer.
        const qint64 kib = bytesDone / 1024;
        const qint64 now = nowMs();
        const bool last = bytesDone >= m_total;
        if (kib != m_lastKiB && (last || now - m_lastMs >= 50)) {
            m_lastKiB = kib;
            m_lastMs = now;
            WorkerCall::onMainThread([this, kib] { m_view->setProgress(kib); });
        }
    }
    void finished() override {
        if (m_view)
            WorkerCall::onMainThread([this] { m_view->hideProgress(); });
    }
    HostKeyAnswer askHostKey(const QString& text, const QString& caption) override {
        // Nobody to ask without the window.
        if (!m_view)
            return HostKeyAnswer::Unattended;
        HostKeyAnswer answer = HostKeyAnswer::No;
        WorkerCall::onMainThread([&] { answer = m_view->askHostKey(text, caption); });
        return answer;
    }

private:
    LogSink& m_log;
    SftpUploadView* m_view;
    QString m_loggedInLine;
    qint64 m_total = 0;
    qint64 m_lastKiB = -1;
    qint64 m_lastMs = 0;
};

} // namespace

UploadDispatch::UploadDispatch(LogSink& log, ErrorCount& errors, SftpUploadView* sftpView,
                               DestinationFactory factory)
    : m_log(log), m_errors(errors), m_sftpView(sftpView), m_factory(std::move(factory)) {}

bool UploadDispatch::ftphochladen(const DestinationConfig& config, const QString& ftpdateiname,
                                  const QString& name, UploadAttempt& attempt) {
    if (ftpdateiname.isEmpty()) {
        m_log.writelogentry(
            QStringLiteral("FEHLER: Ohne ZIP ist FTP nicht möglich für Datenbank: ") + name);
        m_errors.add(1);
        return false;
    }
    if (!QFileInfo(ftpdateiname).isFile()) {
        m_log.writelogentry(QStringLiteral("FEHLER: Keine ZIP-Datei vorhanden für Datenbank: ") +
                            name);
        m_errors.add(1);
        return false;
    }
    if (config.host.isEmpty()) {
        m_log.writelogentry(QStringLiteral("FEHLER: FTP-Server fehlt für Datenbank: ") + name);
        m_errors.add(1);
        return false;
    }

    DestinationConfig c = config;
    c.askHostKey = !attempt.hostKeyUnanswered;
    const std::unique_ptr<Destination> destination = m_factory ? m_factory(c) : nullptr;
    if (!destination) {
        m_log.writelogentry(
            QStringLiteral("FEHLER: Unbekanntes Protokoll %1 (FTP_SSL) für Datenbank: ")
                .arg(c.protocol) +
            name);
        return false;
    }
    if (c.protocol == DestinationConfig::Sftp)
        return sftpAttempt(*destination, c, ftpdateiname, name, attempt);
    return plainAttempt(*destination, c, ftpdateiname, name, attempt);
}

bool UploadDispatch::plainAttempt(Destination& destination, const DestinationConfig& config,
                                  const QString& localPath, const QString& name,
                                  UploadAttempt& attempt) {
    const qint64 localSize = QFileInfo(localPath).size();
    AttemptEvents events(m_log, nullptr,
                         QStringLiteral("FTP-Prozess mit Server verbunden für Datenbank: ") + name);
    const StoreResult result = onDestinationWorker<StoreResult>(
        [&] { return destination.store(localPath, name, events); });
    const QString problem = result.stored
                                ? incompleteStore(destination, config, result, localSize, name)
                                : result.error;
    if (result.stored && problem.isEmpty()) {
        m_log.writelogentry(QStringLiteral("FTP-Prozess erfolgreich für Datenbank: ") + name);
        return true;
    }
    if (result.keyUnconfirmed)
        attempt.keyUnconfirmed = true;
    m_log.writelogentry(problem);
    m_log.writelogentry(QStringLiteral("FEHLER bei FTP-Prozess für Datenbank: ") + name);
    if ((result.stored || result.remoteTouched) && !destination.properties().atomicStore) {
        const QString why = removeCutFile(destination, name);
        if (!why.isEmpty())
            m_log.writelogentry(
                QStringLiteral("FEHLER: Die unvollständige Datei %1 konnte nicht vom FTP-Server "
                               "entfernt werden (%2) für Datenbank: ")
                    .arg(config.pathPrefix + name, why) +
                name);
    }
    return false;
}

bool UploadDispatch::sftpAttempt(Destination& destination, const DestinationConfig& config,
                                 const QString& localPath, const QString& name,
                                 UploadAttempt& attempt) {
    m_log.writelogentry(QStringLiteral("Starte SFTP-Prozess für Datenbank: ") + name);
    const QString remotePath = config.pathPrefix + name;
    if (m_sftpView)
        m_sftpView->open(localPath, remotePath);
    const qint64 localSize = QFileInfo(localPath).size();
    AttemptEvents events(m_log, m_sftpView, QString());
    if (!config.attended)
        events.setUnattended();
    const StoreResult result = onDestinationWorker<StoreResult>(
        [&] { return destination.store(localPath, name, events); });
    if (result.hostKeyUnanswered)
        attempt.hostKeyUnanswered = true;
    const QString problem = result.stored
                                ? incompleteStore(destination, config, result, localSize, name)
                                : result.error;
    const bool uploaded = result.stored && problem.isEmpty();
    if (!uploaded) {
        if (!problem.isEmpty())
            m_log.writelogentry(problem);
        if ((result.stored || result.remoteTouched) && !destination.properties().atomicStore) {
            const QString why = removeCutFile(destination, name);
            if (!why.isEmpty())
                m_log.writelogentry(
                    QStringLiteral("FEHLER: Die unvollständige Datei %1 konnte nicht vom "
                                   "SFTP-Server entfernt werden: %2 für Datenbank: ")
                        .arg(remotePath, why) +
                    name);
        }
    }
    if (m_sftpView)
        m_sftpView->close();
    m_log.writelogentry(QStringLiteral("Beende SFTP-Prozess für Datenbank: ") + name);
    return uploaded;
}

QString UploadDispatch::incompleteStore(const Destination& destination,
                                        const DestinationConfig& config,
                                        const StoreResult& result, qint64 localSize,
                                        const QString& name) const {
    if (result.remoteSize == localSize)
        return QString();
    if (result.remoteSize < 0 && !destination.properties().reportsSize)
        return QString(); // a server that does not tell does not fail the store
    if (config.protocol == DestinationConfig::Sftp)
        return QStringLiteral("Die Datei %1 ist auf dem SFTP-Server %2 Bytes groß statt %3 Bytes; "
                              "sie kam nicht vollständig an.")
            .arg(config.pathPrefix + name)
            .arg(result.remoteSize >= 0 ? QString::number(result.remoteSize)
                                        : QStringLiteral("unbekannt"))
            .arg(localSize);
    return QStringLiteral("Die Datei ist auf dem FTP-Server unvollständig: %1 von %2 Bytes")
        .arg(result.remoteSize)
        .arg(localSize);
}

QString UploadDispatch::removeCutFile(Destination& destination, const QString& name) {
    // What a failed store left under the archive's name goes, so that nobody restores a cut
    // archive; the server's older file of that name was replaced by the store anyway.
    DestinationEvents quiet;
    const RemoveResult result =
        onDestinationWorker<RemoveResult>([&] { return destination.remove(name, quiet); });
    if (result.removed)
        return QString();
    return result.error.isEmpty() ? QStringLiteral("Die Datei ist noch vorhanden") : result.error;
}
