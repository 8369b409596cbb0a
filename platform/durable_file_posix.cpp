#include "platform/durable_file.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

int error_or_unknown() { return errno != 0 ? errno : EIO; }

}  // namespace

int create_exclusive(const std::string& path, FileHandle& file) {
    // O_EXCL alone already refuses a link at the name; O_NOFOLLOW says so where it is read.
    file.fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    return file.fd < 0 ? error_or_unknown() : 0;
}

int open_existing(const std::string& path, FileHandle& file) {
    // O_NONBLOCK: a FIFO planted under the name must not hold the open.
    const int fd = ::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return error_or_unknown();
    struct stat info {};
    int problem = 0;
    if (::fstat(fd, &info) != 0)
        problem = error_or_unknown();
    else if (!S_ISREG(info.st_mode))
        problem = EINVAL;
    else if (info.st_nlink > 1)
        problem = EMLINK;
    else if (::fcntl(fd, F_SETFL, 0) != 0)
        problem = error_or_unknown();
    if (problem != 0) {
        ::close(fd);
        return problem;
    }
    file.fd = fd;
    return 0;
}

void close_file(FileHandle& file) {
    if (file.fd >= 0) ::close(file.fd);
    file.fd = -1;
}

int write_at(FileHandle file, std::uint64_t offset, const void* data, std::size_t size,
             std::size_t& written) {
    written = 0;
    const char* next = static_cast<const char*>(data);
    while (written < size) {
        const ssize_t n =
            ::pwrite(file.fd, next + written, size - written, static_cast<off_t>(offset + written));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return error_or_unknown();
        if (n == 0) return EIO;
        written += static_cast<std::size_t>(n);
    }
    return 0;
}

int read_at(FileHandle file, std::uint64_t offset, void* data, std::size_t size, std::size_t& got) {
    got = 0;
    char* next = static_cast<char*>(data);
    while (got < size) {
        const ssize_t n = ::pread(file.fd, next + got, size - got, static_cast<off_t>(offset + got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return error_or_unknown();
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    return 0;
}

int file_size(FileHandle file, std::uint64_t& size) {
    struct stat info {};
    if (::fstat(file.fd, &info) != 0) return error_or_unknown();
    size = static_cast<std::uint64_t>(info.st_size);
    return 0;
}

int truncate_file(FileHandle file, std::uint64_t size) {
    for (;;) {
        if (::ftruncate(file.fd, static_cast<off_t>(size)) == 0) return 0;
        if (errno != EINTR) return error_or_unknown();
    }
}

void reserve_space(FileHandle file, std::uint64_t size) {
#if defined(__linux__)
    (void)::fallocate(file.fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size));
#else
    (void)file;
    (void)size;
#endif
}

int sync_data(FileHandle file) {
    for (;;) {
        if (::fdatasync(file.fd) == 0) return 0;
        if (errno != EINTR) return error_or_unknown();
    }
}

int try_lock(FileHandle file) {
    for (;;) {
        if (::flock(file.fd, LOCK_EX | LOCK_NB) == 0) return 0;
        if (errno != EINTR) return error_or_unknown();
    }
}

bool still_named(FileHandle file, const std::string& path) {
    struct stat open_info {
    }, named_info{};
    if (::fstat(file.fd, &open_info) != 0 || ::stat(path.c_str(), &named_info) != 0) return false;
    return open_info.st_dev == named_info.st_dev && open_info.st_ino == named_info.st_ino;
}

int rename_no_replace(const std::string& from, const std::string& to) {
#if defined(__linux__)
    // Linux renames without replacing in one step; other systems have no such call.
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return error_or_unknown();
#endif
    // A system or file system without the no-replace rename: a second name, which link() refuses with
    // EEXIST when it is taken, then the first name goes.
    if (::link(from.c_str(), to.c_str()) != 0) return error_or_unknown();
    if (::unlink(from.c_str()) != 0) return error_or_unknown();
    return 0;
}

int remove_file(const std::string& path) { return ::unlink(path.c_str()) == 0 ? 0 : error_or_unknown(); }

int create_private_folder(const std::string& parent, const std::string& prefix, std::string& made) {
    std::string name = parent + prefix + "XXXXXX";
    // mkdtemp makes the folder with mode 0700 and never reuses an existing name.
    if (::mkdtemp(name.data()) == nullptr) return error_or_unknown();
    made = name + "/";
    return 0;
}

int folder_problem(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return error_or_unknown();
    if (!S_ISDIR(info.st_mode)) return ENOTDIR;
    return ::access(path.c_str(), W_OK | X_OK) == 0 ? 0 : error_or_unknown();
}

int sync_directory(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return error_or_unknown();
    int result = 0;
    while (::fsync(fd) != 0) {
        if (errno == EINTR) continue;
        // Some file systems cannot sync a folder at all; their entries are as safe as they get.
        if (errno != EINVAL) result = error_or_unknown();
        break;
    }
    ::close(fd);
    return result;
}

std::string error_text(int error) { return error != 0 ? std::strerror(error) : "unknown I/O error"; }
