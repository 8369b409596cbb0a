#include "app/key_wait.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace {

constexpr auto check_interval = std::chrono::milliseconds(100);

enum class Ready { input, interrupt, timeout, failed };

Ready wait_readable(int input_fd, int interrupt_fd, std::chrono::milliseconds timeout) {
    pollfd fds[2] = {{input_fd, POLLIN, 0}, {interrupt_fd, POLLIN, 0}};
    const nfds_t count = interrupt_fd >= 0 ? 2 : 1;
    for (;;) {
        const int n = poll(fds, count, static_cast<int>(timeout.count()));
        if (n < 0 && errno == EINTR) continue;
        // Anything else poll refuses (a bad descriptor, no memory) would refuse again at once.
        if (n < 0) return Ready::failed;
        if (n == 0) return Ready::timeout;
        if (count == 2 && fds[1].revents != 0) return Ready::interrupt;
        // POLLHUP and POLLERR also count: the read below then reports end of input.
        return Ready::input;
    }
}

// Reads one byte; false at end of input or on a read error (EIO from a terminal that has gone away), which
// ends input all the same.
bool read_byte(int fd, char& byte) {
    for (;;) {
        const ssize_t n = read(fd, &byte, 1);
        if (n == 1) return true;
        if (n < 0 && errno == EINTR) continue;
        return false;
    }
}

}  // namespace

WaitEnd wait_for_take_end(int input_fd, int interrupt_fd, const std::function<bool()>& keep_recording) {
    using Clock = std::chrono::steady_clock;
    auto next_check = Clock::now() + check_interval;
    for (;;) {
        const auto now = Clock::now();
        if (now >= next_check) {
            if (!keep_recording()) return WaitEnd::capture_stopped;
            next_check = now + check_interval;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(next_check - Clock::now());
        switch (wait_readable(input_fd, interrupt_fd, std::max(left, std::chrono::milliseconds(0)))) {
            case Ready::interrupt:
                return WaitEnd::interrupted;
            case Ready::failed:
                return WaitEnd::end_of_input;
            case Ready::timeout:
                continue;
            case Ready::input:
                break;
        }
        char byte = 0;
        if (!read_byte(input_fd, byte)) return WaitEnd::end_of_input;
        if (byte == '\n') return WaitEnd::key;
    }
}
