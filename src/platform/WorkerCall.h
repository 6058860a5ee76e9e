#pragma once

#include <functional>
#include <optional>
#include <type_traits>
#include <utility>

// Runs a blocking call (a connection, a statement) on a worker thread while the calling
// thread keeps handling its events in a local event loop, so the window repaints and takes
// clicks meanwhile. The result, or the exception the call threw, comes back to the caller.
//
// Only the application's main thread waits this way; called without a QCoreApplication or
// from any other thread, the call simply runs inline.
//
// Re-entry: while one call waits, the events it processes may try to start another one
// (a click on a button that talks to a server). Such a nested call would run on top of the
// waiting one and could not end before it, so it is refused: it throws ProgramError at once
// and the waiting call goes on undisturbed. Nothing else ever runs in parallel.
namespace WorkerCall {

// True while the main thread waits for a worker.
bool isWaiting();

// Runs job as described above; rethrows what job threw.
void run(const std::function<void()>& job);

// From a worker: runs f on the application's main thread and waits until it has run there (a
// log line written, a question answered). On the main thread, or without an application, f
// runs at once.
void onMainThread(const std::function<void()>& f);

} // namespace WorkerCall

// Convenience form that hands back the callable's result.
template <typename F> auto workerCall(F&& f) -> std::invoke_result_t<F&> {
    using R = std::invoke_result_t<F&>;
    if constexpr (std::is_void_v<R>) {
        WorkerCall::run([&f] { f(); });
    } else {
        std::optional<R> result;
        WorkerCall::run([&f, &result] { result.emplace(f()); });
        return std::move(*result);
    }
}
