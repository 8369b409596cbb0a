#include "server/stop_signals.h"

#include <pthread.h>
#include <signal.h>

namespace server {
namespace {

sigset_t stop_set() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

}  // namespace

StopSignals::StopSignals(std::function<void(int)> on_signal) {
    const sigset_t set = stop_set();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    watcher_ = std::thread([this, on_signal = std::move(on_signal)] {
        const sigset_t wanted = stop_set();
        while (true) {
            int signal_number = 0;
            if (sigwait(&wanted, &signal_number) != 0) continue;
            if (closing_) return;
            on_signal(signal_number);
        }
    });
}

StopSignals::~StopSignals() {
    closing_ = true;
    // Directed at the watcher alone; it is blocked in sigwait (or about to be) and returns on seeing
    // closing_.
    pthread_kill(watcher_.native_handle(), SIGTERM);
    watcher_.join();
}

}  // namespace server
