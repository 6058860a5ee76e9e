#pragma once

#include <QString>

struct TransferState;

// A window that shows downloads while they run: the support files' progress window, the update
// wizard's download page. The download itself runs on a worker thread; the view reads the shared
// state meanwhile (it is called and polls on the window's thread) and may set its cancel flag.
class DownloadView {
public:
    struct Transfer {
        QString fileName;
        QString url;
        QString target; // the file it replaces when complete
        int index = 0;  // 0-based among the files of this download
        int count = 1;
    };

    virtual ~DownloadView() = default;
    virtual void transferStarting(const Transfer& transfer, TransferState& state) = 0;
    // ok: the file is complete and in place (or staged, for an update that installs later).
    virtual void transferEnded(bool ok) = 0;
};
