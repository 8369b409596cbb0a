#include "server/upload_spool.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace server {
namespace {

constexpr std::size_t write_block = 256 * 1024;

std::string temp_folder() {
    const char* dir = std::getenv("TMPDIR");
    return dir != nullptr && *dir != '\0' ? dir : "/tmp";
}

}  // namespace

UploadSpool::~UploadSpool() {
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
        const std::string folder = temp_folder();
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
            error_ = std::string("cannot write the upload to a temporary file: ") + std::strerror(errno);
            return false;
        }
        done += static_cast<std::size_t>(wrote);
    }
    size_ += done;
    buffered_.clear();
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
