#include "platform/quiet_stderr.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>

namespace {

constexpr int stderr_fd = 2;

}  // namespace

QuietStderr::QuietStderr() {
    std::fflush(stderr);
    const int null_fd = _open("NUL", _O_WRONLY | _O_NOINHERIT);
    if (null_fd < 0) return;
    saved_ = _dup(stderr_fd);
    if (saved_ >= 0 && _dup2(null_fd, stderr_fd) < 0) {
        _close(saved_);
        saved_ = -1;
    }
    _close(null_fd);
}

QuietStderr::~QuietStderr() {
    if (saved_ < 0) return;
    std::fflush(stderr);
    _dup2(saved_, stderr_fd);
    _close(saved_);
}
