#pragma once

#include "platform/ProgramError.h"
#include "platform/WorkerCall.h"

#include <exception>
#include <utility>

// Runs one destination operation on the worker and hands back its result; a throw becomes a
// failed result with the exception's text, as a destination reports any other failure.
template <typename Result, typename F> Result onDestinationWorker(F&& f) {
    try {
        // The window stays alive while the destination works on the worker.
        return workerCall(std::forward<F>(f));
    } catch (const std::exception& e) {
        Result failed;
        failed.error = exceptionText(e);
        return failed;
    }
}
