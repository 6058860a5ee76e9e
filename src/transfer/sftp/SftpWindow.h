#pragma once

#include "transfer/sftp/SftpUpload.h"

class LogSink;

// Opens the SFTP upload window for one attempt, waits until it has closed and reports what
// came of it. The program shows a real window; a build or a test without widgets runs the same
// upload without one.
class SftpWindow {
public:
    struct Outcome {
        bool UploadErfolgreich = false;
        bool hostKeyUnanswered = false;
    };

    virtual ~SftpWindow() = default;
    virtual Outcome showModal(const SftpUploadRequest& request, bool askHostKey, LogSink& log) = 0;
};

// The upload without a window: nobody can answer a host key question, so an unknown or changed
// key is refused at once.
class HeadlessSftpWindow final : public SftpWindow, private SftpUploadView {
public:
    Outcome showModal(const SftpUploadRequest& request, bool askHostKey, LogSink& log) override;

private:
    void showProgress(qint64) override {}
    void setProgress(qint64) override {}
    void hideProgress() override {}
    void processMessages() override {}
    HostKeyAnswer askHostKey(const QString&, const QString&) override {
        return HostKeyAnswer::Unattended;
    }
};
