#include "platform/configuration_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

std::string configuration_file_path() {
    // A relative value is ignored: it would mean a different file from every folder dictate is started in.
    if (const char* config_home = std::getenv("XDG_CONFIG_HOME");
        config_home != nullptr && config_home[0] == '/')
        return std::string(config_home) + "/dictate/config";
    if (const char* home = std::getenv("HOME"); home != nullptr && home[0] != '\0')
        return std::string(home) + "/.config/dictate/config";
    return {};
}

ConfigurationFile read_configuration_file(const std::string& path) {
    ConfigurationFile file;
    const int descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (descriptor < 0) {
        // A folder on the way that isn't one means the file isn't there either.
        if (errno != ENOENT && errno != ENOTDIR) file.problem = std::string("open: ") + std::strerror(errno);
        return file;
    }
    file.found = true;
    // A pipe or a device would be waited on, or read without end; not blocking until that is ruled out.
    struct stat status {};
    if (fstat(descriptor, &status) != 0) {
        file.problem = std::string("fstat: ") + std::strerror(errno);
    } else if (!S_ISREG(status.st_mode)) {
        file.problem = S_ISDIR(status.st_mode) ? "it is a folder" : "it is not a plain file";
    } else if (status.st_size > max_configuration_bytes) {
        file.problem = "it is larger than a configuration file can be";
    }
    if (!file.problem.empty()) {
        close(descriptor);
        return file;
    }
    char block[4096];
    for (;;) {
        const ssize_t got = read(descriptor, block, sizeof block);
        if (got > 0) {
            file.bytes.append(block, static_cast<std::size_t>(got));
        } else if (got == 0) {
            break;
        } else if (errno != EINTR) {
            file.problem = std::string("read: ") + std::strerror(errno);
            break;
        }
    }
    close(descriptor);
    return file;
}
