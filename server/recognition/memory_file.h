#pragma once

#include <string>

namespace server {

// The engine reads language models from files only: this is a file in memory, never on disk, readable at
// path() for as long as the object lives. Throws std::runtime_error naming `name` when it can't be made.
class MemoryFile {
public:
    MemoryFile(const char* name, const std::string& content);
    ~MemoryFile();
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;
    std::string path() const { return "/proc/self/fd/" + std::to_string(fd_); }

private:
    int fd_;
};

}  // namespace server
