#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

// The keys a person types, for the tests of what records takes: the program reads `read_end()` as its
// standard input, and the test types into the pipe's other end or hangs it up (end of input).
class KeyPipe {
public:
    KeyPipe() { EXPECT_EQ(pipe(ends_), 0); }
    KeyPipe(const KeyPipe&) = delete;
    KeyPipe& operator=(const KeyPipe&) = delete;
    ~KeyPipe() {
        close(ends_[0]);
        hang_up();
    }

    int read_end() const { return ends_[0]; }
    void type(const std::string& typed) {
        ASSERT_EQ(write(ends_[1], typed.data(), typed.size()), ssize_t(typed.size()));
    }
    void hang_up() {
        if (ends_[1] >= 0) close(ends_[1]);
        ends_[1] = -1;
    }
    void type_then_hang_up(const std::string& typed) {
        type(typed);
        hang_up();
    }

private:
    int ends_[2] = {-1, -1};
};
