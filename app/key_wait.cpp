#include "app/key_wait.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace {

constexpr int check_interval_ms = 100;

enum class Ready { input, interrupt, timeout };

Ready wait_readable(int input_fd, int interrupt_fd) {
    pollfd fds[2] = {{input_fd, POLLIN, 0}, {interrupt_fd, POLLIN, 0}};
    const nfds_t count = interrupt_fd >= 0 ? 2 : 1;
    for (;;) {
        const int n = poll(fds, count, check_interval_ms);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return Ready::timeout;
        if (count == 2 && fds[1].revents != 0) return Ready::interrupt;
        // POLLHUP and POLLERR also count: the read below then reports end of input.
        return Ready::input;
    }
}

// Reads one byte; false at end of input or on a read error, which ends input all the same.
bool read_byte(int fd, char& byte) {
    for (;;) {
        const ssize_t n = read(fd, &byte, 1);
        if (n == 1) return true;
        if (n < 0 && errno == EINTR) continue;
        return false;
    }
}

}  // namespace

WaitEnd wait_for_key(int input_fd, int interrupt_fd, const std::function<bool()>& still_recording) {
    bool got_key = false;
    for (;;) {
        switch (wait_readable(input_fd, interrupt_fd)) {
            case Ready::interrupt:
                return WaitEnd::interrupted;
            case Ready::timeout:
                // Only a take still waiting for its key can lose its device; once the key is in, the
                // rest of the line is already there to read.
                if (!got_key && !still_recording()) return WaitEnd::capture_stopped;
                continue;
            case Ready::input:
                break;
        }
        char byte = 0;
        if (!read_byte(input_fd, byte)) return WaitEnd::end_of_input;
        if (byte == '\n') return WaitEnd::key;
        got_key = true;
    }
}
