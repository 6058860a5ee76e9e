#pragma once

#include <QDateTime>
#include <QString>

#include <atomic>
#include <memory>

class LogSink;
class TTGPuttySFTP;

// What the SFTP upload asks of the window that shows it.
class SftpUploadView {
public:
    enum class HostKeyAnswer {
        Yes,
        No,
        Unanswered, // nobody answered within the time the window gives
        Unattended, // there is no display to ask on
    };

    virtual ~SftpUploadView() = default;
    // Progress bar in KiB: range 0..maximum, position 0, shown.
    virtual void showProgress(qint64 maximumKiB) = 0;
    virtual void setProgress(qint64 kib) = 0;
    virtual void hideProgress() = 0;
    // Lets the window handle what is waiting.
    virtual void processMessages() = 0;
    // The host key question (text and caption are English); blocks until answered.
    virtual HostKeyAnswer askHostKey(const QString& text, const QString& caption) = 0;
};

// The server data and the two paths of one attempt.
struct SftpUploadRequest {
    QString SFTP_HostName;
    QString SFTP_UserName;
    QString SFTP_Password;
    qint32 SFTP_Port = 0;
    QString sourceFile; // the local archive path
    QString destFile;   // the remote path, folder prefix + archive name
};

// One SFTP upload attempt: creates the session, connects, uploads, sets the remote file's
// modification time, checks that the whole file arrived, disconnects. Every step and failure
// goes to the log book; nothing throws out of it. The session calls run on a worker thread
// while this thread keeps the window alive; the session's requests come back to this thread.
class SftpUpload {
public:
    SftpUpload(LogSink& log, SftpUploadView& view);
    ~SftpUpload();
    SftpUpload(const SftpUpload&) = delete;
    SftpUpload& operator=(const SftpUpload&) = delete;

    // Creates the session (verbose) and attaches its handlers; a failure is logged and leaves
    // the attempt without a session.
    void createSession();
    // The automatic work: connect, upload step, disconnect.
    void run(const SftpUploadRequest& request);
    // The upload step on the connected session; logs its own failure.
    void upload();
    // A session operation runs (the window keeps its upload button idle meanwhile).
    bool isBusy() const { return m_busy; }

    // When false, an unknown or changed host key is refused without asking (the job already
    // left the question unanswered in this run).
    void setAskHostKey(bool ask) { m_askHostKey = ask; }
    // The host key question went unanswered (or could not be asked) in this attempt.
    bool hostKeyUnanswered() const { return m_hostKeyUnanswered; }

    bool UploadErfolgreich = false;
    qint64 FTotalToCopy = 0;

private:
    void uploadStep();
    // After a failed upload step: removes what it left under the remote name, on a connection
    // of its own; a failure gets a log line and changes nothing else.
    void removeCutFile();
    void sessionMessage(const QByteArray& Msg, bool isstderr);
    bool sessionProgress(qint64 bytescopied, bool isupload);
    QByteArray sessionInput(bool& cancel);
    bool verifyHostKey(const QByteArray& host, qint32 port, const QByteArray& fingerprint,
                            qint32 verificationstatus, bool& storehostkey);
    void logRefusedKey(const QByteArray& host, qint32 port, const QByteArray& fingerprint,
                       qint32 status, const QString& why);

    LogSink& m_log;
    SftpUploadView& m_view;
    std::unique_ptr<TTGPuttySFTP> m_session;
    SftpUploadRequest m_request;
    bool m_busy = false;
    bool m_askHostKey = true;
    bool m_hostKeyUnanswered = false;
    bool m_remoteTouched = false;      // the remote file may hold a part of the archive
    QByteArray m_acceptedHostKey;      // the fingerprint the upload's connection accepted
    std::atomic<qint64> m_lastProgressKiB{-1};
    std::atomic<qint64> m_lastProgressMs{0};
};
