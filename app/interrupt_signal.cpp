#include "app/interrupt_signal.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <csignal>

namespace {

int pipe_fds[2] = {-1, -1};
volatile std::sig_atomic_t first_signal = 0;

extern "C" void on_interrupt(int signal_number) {
    if (first_signal != 0) {
        // Second request: the person wants out now, whatever is in progress.
        std::signal(signal_number, SIG_DFL);
        std::raise(signal_number);
        return;
    }
    first_signal = signal_number;
    const char byte = 1;
    [[maybe_unused]] auto ignored = write(pipe_fds[1], &byte, 1);
}

}  // namespace

void install_interrupt_handlers() {
    if (pipe_fds[0] != -1) return;
    if (pipe2(pipe_fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

int interrupt_fd() { return pipe_fds[0]; }

bool interrupt_requested() { return first_signal != 0; }

int interrupt_exit_status() { return 128 + (first_signal != 0 ? first_signal : SIGINT); }
