#pragma once

#include <atomic>
#include <functional>
#include <thread>

namespace server {

// Turns SIGINT and SIGTERM into a call on an ordinary thread, where anything may be done (a signal handler
// could not safely stop the HTTP server). Construct it before starting any other thread: it blocks the two
// signals in the constructing thread, and threads started afterwards inherit that mask, so only the
// watcher receives them.
class StopSignals {
public:
    // `on_signal` runs on the watcher thread, once per signal received, with the signal number.
    explicit StopSignals(std::function<void(int)> on_signal);
    // Ends the watcher without calling `on_signal`.
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

private:
    std::atomic<bool> closing_{false};
    std::thread watcher_;
};

}  // namespace server
