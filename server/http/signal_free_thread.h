#pragma once

#include <functional>
#include <thread>

namespace server {

// Starts `work` on a new thread that has every signal blocked: process signals are for the one thread that
// waits for them (stop_signals.h), and a helper thread must never be the one a signal interrupts. The
// calling thread's own mask is left as it was.
std::thread start_signal_free_thread(std::function<void()> work);

}  // namespace server
