#include "platform/console_input.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace {

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

InputEvent next_input_byte(int input_fd, Waitable interrupt, std::chrono::milliseconds timeout, char& byte) {
    pollfd fds[2] = {{input_fd, POLLIN, 0}, {interrupt, POLLIN, 0}};
    const nfds_t count = interrupt >= 0 ? 2 : 1;
    for (;;) {
        const int n = poll(fds, count, static_cast<int>(timeout.count()));
        if (n < 0 && errno == EINTR) continue;
        // Anything else poll refuses (a bad descriptor, no memory) would refuse again at once.
        if (n < 0) return InputEvent::end_of_input;
        if (n == 0) return InputEvent::timeout;
        if (count == 2 && fds[1].revents != 0) return InputEvent::interrupted;
        // POLLHUP and POLLERR also count: the read then reports end of input.
        return read_byte(input_fd, byte) ? InputEvent::byte : InputEvent::end_of_input;
    }
}
