#include "server/adaptation/profile_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "server/adaptation/voice_profile.h"

namespace server {

ProfileLock::ProfileLock(const std::string& voice_dir, const std::string& job) {
    const std::filesystem::path voice = voice_profile_name(voice_dir);
    const std::string path = voice.string() + ".lock";
    std::error_code error;
    std::filesystem::create_directories(voice.parent_path(), error);
    if (error)
        throw std::runtime_error("cannot create " + voice.parent_path().string() + ": " + error.message());
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0644);
    if (fd_ < 0) throw std::runtime_error("cannot open the lock file " + path + ": " + std::strerror(errno));
    while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        const int reason = errno;
        char holder[24] = {};
        const ssize_t got = ::pread(fd_, holder, sizeof holder - 1, 0);
        ::close(fd_);
        fd_ = -1;
        if (reason != EWOULDBLOCK)
            throw std::runtime_error("cannot lock " + path + ": " + std::strerror(reason));
        std::string pid;
        for (ssize_t i = 0; i < got && std::isdigit(static_cast<unsigned char>(holder[i])) != 0; ++i)
            pid += holder[i];
        throw std::runtime_error("another " + job + " of it is running (" +
                                 (pid.empty() ? std::string() : "pid " + pid + ", ") + "holding " + path +
                                 ")");
    }
    const std::string pid = std::to_string(::getpid()) + "\n";
    // The holder's id is a courtesy for the message above; the lock holds without it.
    [[maybe_unused]] const bool noted =
        ::ftruncate(fd_, 0) == 0 &&
        ::pwrite(fd_, pid.data(), pid.size(), 0) == static_cast<ssize_t>(pid.size());
}

ProfileLock::~ProfileLock() {
    if (fd_ >= 0) ::close(fd_);
}

}  // namespace server
