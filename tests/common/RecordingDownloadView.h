#pragma once

#include "online/DownloadView.h"

#include <QList>
#include <QStringList>
#include <functional>

// A download window that records what it is told; a test may look at the folder as a transfer
// starts.
class RecordingDownloadView : public DownloadView {
public:
    void transferStarting(const Transfer& t, TransferState&) override {
        started << t.fileName;
        urls << t.url;
        if (onStart)
            onStart(t);
    }
    void transferEnded(bool ok) override { ended << ok; }

    QStringList started; // file names
    QStringList urls;
    QList<bool> ended;
    std::function<void(const Transfer&)> onStart;
};
