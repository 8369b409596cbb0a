#include "server/requests/upload_spool.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace server {
namespace {

constexpr std::size_t write_block = 256 * 1024;

// Bytes every spool together was promised and has not yet written.
std::mutex promise_mutex;
std::uint64_t promised_in_all = 0;

void settle(std::uint64_t& promised, std::uint64_t bytes) {
    const std::uint64_t settled = std::min(promised, bytes);
    if (settled == 0) return;
    std::lock_guard lock(promise_mutex);
    promised_in_all -= settled;
    promised -= settled;
}

}  // namespace

std::string UploadSpool::folder() {
    const char* dir = std::getenv("TMPDIR");
    return dir != nullptr && *dir != '\0' ? dir : "/tmp";
}

bool UploadSpool::reserve(std::uint64_t bytes) {
    const std::string where = folder();
    struct statvfs space {};
    if (::statvfs(where.c_str(), &space) != 0) {
        error_ = "cannot see the free space of " + where + ": " + std::strerror(errno);
        return false;
    }
    const std::uint64_t free_bytes = std::uint64_t{space.f_bavail} * space.f_frsize;
    std::lock_guard lock(promise_mutex);
    if (free_bytes < promised_in_all + bytes + kept_free) {
        out_of_room_ = true;
        error_ = "no room in " + where + " for an upload of " + std::to_string(bytes) +
                 " bytes: " + std::to_string(free_bytes) + " bytes free, " + std::to_string(promised_in_all) +
                 " promised to uploads being received, " + std::to_string(kept_free) + " kept free";
        return false;
    }
    promised_in_all += bytes;
    promised_ += bytes;
    return true;
}

UploadSpool::~UploadSpool() {
    settle(promised_, promised_);
    unmap();
    if (fd_ >= 0) ::close(fd_);
}

void UploadSpool::unmap() {
    if (mapping_ != nullptr) ::munmap(mapping_, mapped_);
    mapping_ = nullptr;
    mapped_ = 0;
}

bool UploadSpool::flush() {
    if (!error_.empty()) return false;
    if (fd_ < 0) {
        const std::string folder = UploadSpool::folder();
        fd_ = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
        if (fd_ < 0) {
            error_ = "cannot make a temporary file in " + folder + ": " + std::strerror(errno);
            return false;
        }
    }
    std::size_t done = 0;
    while (done < buffered_.size()) {
        const ssize_t wrote =
            ::pwrite(fd_, buffered_.data() + done, buffered_.size() - done, static_cast<off_t>(size_ + done));
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) {
            out_of_room_ = wrote < 0 && (errno == ENOSPC || errno == EDQUOT);
            error_ =
                "cannot write the upload to a temporary file in " + folder() + ": " + std::strerror(errno);
            return false;
        }
        done += static_cast<std::size_t>(wrote);
    }
    size_ += done;
    buffered_.clear();
    settle(promised_, done);
    return true;
}

bool UploadSpool::append(std::string_view bytes) {
    if (!error_.empty()) return false;
    buffered_.append(bytes);
    return buffered_.size() < write_block || flush();
}

void UploadSpool::clear() {
    unmap();
    buffered_.clear();
    size_ = 0;
    if (fd_ >= 0 && ::ftruncate(fd_, 0) != 0)
        error_ = std::string("cannot empty a temporary file: ") + std::strerror(errno);
}

std::string_view UploadSpool::map() {
    if (!buffered_.empty() && !flush()) return {};
    if (size_ == 0) return {};
    if (mapping_ == nullptr) {
        void* at = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd_, 0);
        if (at == MAP_FAILED) {
            error_ = std::string("cannot map the temporary file of an upload: ") + std::strerror(errno);
            return {};
        }
        ::madvise(at, size_, MADV_SEQUENTIAL);
        mapping_ = at;
        mapped_ = size_;
    }
    return {static_cast<const char*>(mapping_), mapped_};
}

void UploadSpool::release(std::string_view range) {
    if (mapping_ == nullptr || range.empty()) return;
    const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    const auto base = reinterpret_cast<std::uintptr_t>(mapping_);
    auto first = reinterpret_cast<std::uintptr_t>(range.data());
    auto last = first + range.size();
    if (first < base || last > base + mapped_) return;
    // Whole pages inside the range only: the pages at its edges may hold bytes still to be read.
    first = (first + page - 1) / page * page;
    last = last / page * page;
    if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
}

}  // namespace server
