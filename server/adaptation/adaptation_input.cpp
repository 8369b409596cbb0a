#include "server/adaptation/adaptation_input.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <variant>

#include "server/recognition/resampler.h"

namespace server {
namespace fs = std::filesystem;

namespace {

// A WAV's header and any chunks before its samples, read to find them.
constexpr std::size_t max_head_bytes = 1 << 20;
// Bytes read at a time when playing a take.
constexpr std::size_t block_bytes = 1 << 20;

std::string kind_of(mode_t mode) {
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISLNK(mode)) return "a link";
    return "not a plain file";
}

std::string not_regular(mode_t mode) { return kind_of(mode) + ", not a regular file"; }

// The descriptor of the regular file `path`, opened for reading without waiting and without following a
// link; -1 with `refusal` set otherwise.
int open_regular(const std::string& path, Refusal& refusal, struct stat& info) {
    if (::lstat(path.c_str(), &info) != 0) {
        refusal.reason = std::strerror(errno);
        return -1;
    }
    if (!S_ISREG(info.st_mode)) {
        refusal.reason = not_regular(info.st_mode);
        return -1;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        refusal.reason = errno == ELOOP ? "a link, not a regular file" : std::strerror(errno);
        return -1;
    }
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        refusal.reason = not_regular(info.st_mode);
        ::close(fd);
        return -1;
    }
    return fd;
}

// Reads up to `size` bytes from `offset`, fewer only at the end of the file.
std::size_t read_at(int fd, char* into, std::size_t size, std::uint64_t offset) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = ::pread(fd, into + done, size - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) throw std::runtime_error(std::string("cannot read: ") + std::strerror(errno));
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    return done;
}

std::string megabytes(std::uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
    return text;
}

bool inside(const fs::path& path, const std::vector<std::string>& folders) {
    for (const auto& folder : folders) {
        const fs::path root(folder);
        const auto [left, right] = std::mismatch(root.begin(), root.end(), path.begin(), path.end());
        if (left == root.end()) return true;
    }
    return false;
}

}  // namespace

int open_input_file(const std::string& path, Refusal& refusal) {
    struct stat info {};
    return open_regular(path, refusal, info);
}

InputPath resolve_input(const std::string& path, const std::vector<std::string>& folders) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return {path, {std::strerror(errno)}};
    if (S_ISLNK(info.st_mode)) {
        std::error_code error;
        const fs::path target = fs::canonical(path, error);
        if (error) return {path, {"a link leading nowhere (" + error.message() + ")"}};
        if (!inside(target, folders)) return {path, {"a link leading out of the folders given"}};
        if (::lstat(target.c_str(), &info) != 0) return {path, {std::strerror(errno)}};
        if (!S_ISREG(info.st_mode)) return {path, {"a link to " + not_regular(info.st_mode)}};
        return {target.string(), {}};
    }
    if (!S_ISREG(info.st_mode)) return {path, {not_regular(info.st_mode)}};
    return {path, {}};
}

InputText read_input_text(const std::string& path) {
    InputText result;
    struct stat info {};
    const int fd = open_regular(path, result.refusal, info);
    if (fd < 0) return result;
    if (static_cast<std::uint64_t>(info.st_size) > max_text_bytes) {
        ::close(fd);
        result.refusal.reason = megabytes(static_cast<std::uint64_t>(info.st_size)) + ", over the " +
                                megabytes(max_text_bytes) + " a text may hold";
        return result;
    }
    // One byte more than allowed shows a file that grew since it was measured.
    result.text.resize(max_text_bytes + 1);
    try {
        result.text.resize(read_at(fd, result.text.data(), result.text.size(), 0));
    } catch (const std::runtime_error& failure) {
        result.text.clear();
        result.refusal.reason = failure.what();
    }
    ::close(fd);
    if (result.text.size() > max_text_bytes) {
        result.text.clear();
        result.refusal.reason = "over the " + megabytes(max_text_bytes) + " a text may hold";
    }
    return result;
}

TakeAudio::TakeAudio(const std::string& path) {
    Refusal refusal;
    struct stat info {};
    fd_ = open_regular(path, refusal, info);
    if (fd_ < 0) throw std::runtime_error(refusal.reason);
    try {
        std::string head(std::min<std::uint64_t>(static_cast<std::uint64_t>(info.st_size), max_head_bytes),
                         '\0');
        head.resize(read_at(fd_, head.data(), head.size(), 0));
        const auto decoded = decode_wav(head);
        if (const auto* error = std::get_if<WavError>(&decoded)) throw std::runtime_error(error->message);
        format_ = std::get<WavAudio>(decoded);
        data_offset_ = format_.data_offset;
        data_bytes_ = data_bytes_in_file(format_, static_cast<std::uint64_t>(info.st_size));
        format_.data = {};
    } catch (...) {
        ::close(fd_);
        throw;
    }
}

TakeAudio::~TakeAudio() { ::close(fd_); }

void TakeAudio::play(const Sink& sink) const {
    const std::size_t frame = format_.bytes_per_frame();
    std::string block(std::max(frame, block_bytes - block_bytes % frame), '\0');
    PieceResampler resampler(format_.sample_rate);
    for (std::uint64_t at = 0; at < data_bytes_;) {
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), data_bytes_ - at));
        const std::size_t got = read_at(fd_, block.data(), want, data_offset_ + at);
        WavAudio piece = format_;
        piece.data = std::string_view(block).substr(0, got - got % frame);
        resampler.push(piece, sink);
        if (got < want) break;  // the file was cut short since it was opened
        at += got;
    }
    resampler.finish(sink);
}

}  // namespace server
