#pragma once

#include "transfer/Destination.h"

#include <QString>

// The SFTP upload window as the upload dispatch sees it: it shows one attempt (the two paths
// and the progress) and asks the host key question; the dispatch does the upload. Every call
// comes on the window's thread.
class SftpUploadView {
public:
    using HostKeyAnswer = DestinationEvents::HostKeyAnswer;

    virtual ~SftpUploadView() = default;
    // The window appears with the local and the remote path and returns once the attempt is due
    // (about a second later).
    virtual void open(const QString& sourceFile, const QString& destFile) = 0;
    // Progress bar in KiB: range 0..maximum, position 0, shown.
    virtual void showProgress(qint64 maximumKiB) = 0;
    virtual void setProgress(qint64 kib) = 0;
    virtual void hideProgress() = 0;
    // The host key question (text and caption are English); blocks until answered.
    virtual HostKeyAnswer askHostKey(const QString& text, const QString& caption) = 0;
    // The attempt is over: the window closes.
    virtual void close() = 0;
};
