#pragma once

#include <QtGlobal>

#include <atomic>

// What a download running on a worker thread shares with the window that shows it: the
// transfer writes the counters, the window reads them and may ask to cancel.
struct TransferState {
    std::atomic<qint64> received{0};
    std::atomic<qint64> total{-1}; // -1 while the server has not said
    std::atomic<bool> cancel{false};

    void reset() {
        received = 0;
        total = -1;
        cancel = false;
    }
};
