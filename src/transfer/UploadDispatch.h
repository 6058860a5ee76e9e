#pragma once

#include "transfer/Destination.h"
#include "transfer/UploadAttempt.h"

#include <QString>

#include <functional>
#include <memory>

class ErrorCount;
class LogSink;
class SftpUploadView;

// One upload attempt of a job's archive to the job's destination: the inputs checked, the store
// on a connection of its own, the size the server then holds checked, and what a failed store
// left under the archive's name removed again. The backup run repeats failed attempts.
class UploadDispatch {
public:
    using DestinationFactory =
        std::function<std::unique_ptr<Destination>(const DestinationConfig&)>;

    // sftpView shows SFTP uploads; null runs them without a window (host key questions are then
    // refused at once, as they are for a config that is not attended). factory maps a config to its destination (the protocol table).
    UploadDispatch(LogSink& log, ErrorCount& errors, SftpUploadView* sftpView = nullptr,
                   DestinationFactory factory = makeDestination);

    // True when the archive is stored at the destination with its full size. A missing archive
    // path, a missing archive or an empty server is logged and counted; a failure of the
    // connection, the login or the transfer is logged and not counted. Never throws. What the
    // attempt learnt for the next one (an unanswered host key question, a server key nobody
    // confirmed) goes into `attempt`.
    bool ftphochladen(const DestinationConfig& config, const QString& ftpdateiname,
                      const QString& ftpdatenbankname, UploadAttempt& attempt);

private:
    bool plainAttempt(Destination& destination, const DestinationConfig& config,
                      const QString& localPath, const QString& name, UploadAttempt& attempt);
    bool sftpAttempt(Destination& destination, const DestinationConfig& config,
                     const QString& localPath, const QString& name, UploadAttempt& attempt);
    // Empty when the stored file is whole; otherwise why not.
    QString incompleteStore(const Destination& destination, const DestinationConfig& config,
                            const StoreResult& result, qint64 localSize,
                            const QString& name) const;
    // The reason the removal of a cut file failed; empty when it is gone.
    QString removeCutFile(Destination& destination, const QString& name);

    LogSink& m_log;
    ErrorCount& m_errors;
    SftpUploadView* m_sftpView;
    DestinationFactory m_factory;
};
