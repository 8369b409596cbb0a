#include "app/key_wait.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

namespace {

// A pipe standing in for the console: what a person types arrives on its read end.
struct Console {
    int fds[2];
    Console() { EXPECT_EQ(pipe(fds), 0); }
    ~Console() {
        close(fds[0]);
        if (fds[1] >= 0) close(fds[1]);
    }
    void type(const std::string& keys) {
        ASSERT_EQ(write(fds[1], keys.data(), keys.size()), ssize_t(keys.size()));
    }
    void hang_up() { close(fds[1]), fds[1] = -1; }
    WaitEnd wait(int interrupt = -1, bool recording = true) {
        return wait_for_take_end(fds[0], interrupt, [&] { return recording; });
    }
};

TEST(KeyWait, SeveralKeysBeforeEnterEndOneTake) {
    Console console;
    console.type("ab\n\n");
    EXPECT_EQ(console.wait(), WaitEnd::key);
    // The second Enter is the next take's key: "ab" was consumed with its line.
    EXPECT_EQ(console.wait(), WaitEnd::key);
    console.hang_up();
    EXPECT_EQ(console.wait(), WaitEnd::end_of_input);
}

TEST(KeyWait, EndOfInputEndsTheTakeEvenMidLine) {
    Console console;
    console.type("ab");
    console.hang_up();
    EXPECT_EQ(console.wait(), WaitEnd::end_of_input);
}

TEST(KeyWait, InterruptWinsOverALineWaitingOnTheConsole) {
    // Both are ready when the wait begins: Ctrl-C must not be mistaken for the Enter typed before it.
    Console console;
    console.type("ab\n");
    int interrupt[2];
    ASSERT_EQ(pipe(interrupt), 0);
    ASSERT_EQ(write(interrupt[1], "x", 1), 1);
    EXPECT_EQ(console.wait(interrupt[0]), WaitEnd::interrupted);
    close(interrupt[0]);
    close(interrupt[1]);
}

TEST(KeyWait, LostDeviceEndsTheWaitAlsoWithALineHalfTyped) {
    Console console;
    EXPECT_EQ(console.wait(-1, false), WaitEnd::capture_stopped);
    console.type("ab");
    EXPECT_EQ(console.wait(-1, false), WaitEnd::capture_stopped);
}

}  // namespace
