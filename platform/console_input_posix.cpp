#include "platform/console_input.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

namespace {

// Reads what is there; false at end of input or on a read error (EIO from a terminal that has gone away),
// which ends input all the same.
bool read_block(int fd, char* buffer, std::size_t capacity, std::size_t& got) {
    for (;;) {
        const ssize_t n = read(fd, buffer, capacity);
        if (n > 0) {
            got = static_cast<std::size_t>(n);
            return true;
        }
        if (n < 0 && errno == EINTR) continue;
        return false;
    }
}

}  // namespace

InputEvent next_input(int input_fd, Waitable interrupt, std::chrono::milliseconds timeout, char* buffer,
                      std::size_t capacity, std::size_t& got) {
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
        return read_block(input_fd, buffer, capacity, got) ? InputEvent::bytes : InputEvent::end_of_input;
    }
}

bool input_is_terminal(int input_fd) { return isatty(input_fd) == 1; }

void discard_typed_ahead(int input_fd) {
    if (input_is_terminal(input_fd)) (void)tcflush(input_fd, TCIFLUSH);
}
