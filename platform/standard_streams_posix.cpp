#include "platform/standard_streams.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

std::string make_standard_streams_valid() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lowest free number is taken, and every lower one is open by now: the result is `fd` itself.
        const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened < 0)
            return std::string("opening /dev/null in place of a closed standard stream failed: ") +
                   std::strerror(errno);
        if (opened != fd) {
            dup2(opened, fd);
            close(opened);
        }
    }
    return "";
}
