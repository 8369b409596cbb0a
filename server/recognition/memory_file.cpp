#include "server/recognition/memory_file.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace server {

MemoryFile::MemoryFile(const char* name, const std::string& content) : fd_(memfd_create(name, MFD_CLOEXEC)) {
    if (fd_ < 0) throw std::runtime_error(std::string("memfd_create failed: ") + std::strerror(errno));
    for (std::size_t done = 0; done < content.size();) {
        const ssize_t n = write(fd_, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const std::string reason = std::strerror(errno);
            close(fd_);
            throw std::runtime_error(std::string("cannot write ") + name + ": " + reason);
        }
        done += static_cast<std::size_t>(n);
    }
}

MemoryFile::~MemoryFile() { close(fd_); }

}  // namespace server
