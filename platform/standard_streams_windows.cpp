#include "platform/standard_streams.h"

#include <fcntl.h>
#include <io.h>

#include <cstdint>

namespace {

// _get_osfhandle's answers for a descriptor that is not open, and for one open on nothing (a program
// started without a console or redirections).
bool has_no_handle(int fd) {
    const std::intptr_t handle = _get_osfhandle(fd);
    return handle == -1 || handle == -2;
}

}  // namespace

std::string make_standard_streams_valid() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (!has_no_handle(fd)) continue;
        const int opened = _open("NUL", fd == 0 ? _O_RDONLY : _O_WRONLY);
        if (opened < 0) return "opening NUL in place of a closed standard stream failed";
        if (opened != fd) {
            _dup2(opened, fd);
            _close(opened);
        }
    }
    return "";
}
