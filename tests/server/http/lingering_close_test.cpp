#include "server/http/lingering_close.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

namespace {

using namespace std::chrono_literals;

bool is_open(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

// Waits up to `patience` for `fd` to be closed by someone else.
bool closed_within(int fd, std::chrono::milliseconds patience) {
    const auto give_up = std::chrono::steady_clock::now() + patience;
    while (is_open(fd)) {
        if (std::chrono::steady_clock::now() > give_up) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

int failing_poll(pollfd*, nfds_t, int) {
    errno = ENOMEM;
    return -1;
}

// A wait that fails (the system short of memory) must neither stop the closing nor leak what is handed
// over: a client that hangs up is closed at once, a silent one at its deadline, and so is every socket
// handed over after the failure.
TEST(LingeringClose, ClosesEverySocketWhenPollFails) {
    server::LingeringClose closer(300ms, 1 << 20, failing_poll);
    for (int round = 0; round < 2; ++round) {
        int hung_up[2];
        int silent[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, hung_up), 0);
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, silent), 0);
        ASSERT_EQ(::write(hung_up[1], "left over", 9), 9);
        ::close(hung_up[1]);
        closer.close(hung_up[0]);
        closer.close(silent[0]);
        EXPECT_TRUE(closed_within(hung_up[0], 250ms)) << "round " << round << ": a client that hung up";
        EXPECT_TRUE(closed_within(silent[0], 2000ms)) << "round " << round << ": a silent client";
        ::close(silent[1]);
    }
}

}  // namespace
