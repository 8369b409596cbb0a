#include "platform/interrupt_signal.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>

namespace {

int pipe_fds[2] = {-1, -1};
std::atomic<int> first_signal{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler may only touch lock-free atomics");

extern "C" void on_interrupt(int signal_number) {
    const int saved_errno = errno;  // the interrupted code may be about to read it
    int none = 0;
    if (!first_signal.compare_exchange_strong(none, signal_number)) {
        // A hang-up comes more than once (from the shell that forwards it and from the terminal itself when
        // that shell exits): a repeat is the same event, not a person asking to end at once.
        if (signal_number == SIGHUP && none == SIGHUP) {
            errno = saved_errno;
            return;
        }
        // Second request: the person wants out now, whatever is in progress.
        std::signal(signal_number, SIG_DFL);
        std::raise(signal_number);
        errno = saved_errno;
        return;
    }
    const char byte = 1;
    [[maybe_unused]] auto ignored = write(pipe_fds[1], &byte, 1);
    errno = saved_errno;
}

std::string failure(const std::string& call, int error) { return call + " failed: " + std::strerror(error); }

}  // namespace

std::string install_interrupt_handlers() {
    if (pipe_fds[0] != -1) return "";
    if (pipe2(pipe_fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        const int error = errno;
        pipe_fds[0] = pipe_fds[1] = -1;
        return failure("pipe2 (Ctrl-C, SIGTERM and SIGHUP will end the program without finishing the take)",
                       error);
    }
    std::string problem;
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    const struct {
        int number;
        const char* name;
    } handled[] = {{SIGINT, "SIGINT"}, {SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"}};
    for (const auto& signal : handled) {
        if (sigaction(signal.number, &action, nullptr) != 0 && problem.empty())
            problem = failure(std::string("sigaction for ") + signal.name, errno);
    }
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    if (sigaction(SIGPIPE, &ignore, nullptr) != 0 && problem.empty())
        problem = failure("sigaction for SIGPIPE", errno);
    return problem;
}

Waitable interrupt_waitable() { return pipe_fds[0]; }

bool interrupt_requested() {
    if (first_signal.load() != 0) return true;
    // A stop signal already sent may still wait for the thread the kernel chose to take it (one of the
    // audio library's, which on a busy machine may not have run yet); it was asked for all the same. Its
    // handler is waited for, a second at most, so that what the caller decides next counts it.
    sigset_t pending;
    if (sigpending(&pending) != 0) return false;
    if (!sigismember(&pending, SIGINT) && !sigismember(&pending, SIGTERM) && !sigismember(&pending, SIGHUP))
        return false;
    for (int waited_ms = 0; first_signal.load() == 0 && waited_ms < 1000; ++waited_ms) usleep(1000);
    return first_signal.load() != 0;
}

int interrupt_exit_status() {
    const int number = first_signal.load();
    return 128 + (number != 0 ? number : SIGINT);
}
