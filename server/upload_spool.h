#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace server {

// An upload's file kept on disk instead of in memory: appended to as the body arrives, then mapped
// read-only for decoding, so that pages already decoded can be given back. The file has no name (it is
// unlinked at once), so it disappears with the process whatever happens. It lives in $TMPDIR, or /tmp.
// Used by one thread at a time; closes everything on destruction.
class UploadSpool {
public:
    UploadSpool() = default;
    ~UploadSpool();
    UploadSpool(const UploadSpool&) = delete;
    UploadSpool& operator=(const UploadSpool&) = delete;

    // Appends bytes, creating the file on first use. False (with error()) if the file can't be made or
    // written; the spool then stays failed.
    bool append(std::string_view bytes);
    // Forgets what was written, keeping the file.
    void clear();
    std::size_t size() const { return size_ + buffered_.size(); }

    // Everything appended, mapped into memory; valid until the spool is cleared or destroyed. An empty
    // view for an empty spool, and on failure (see error()).
    std::string_view map();
    // Lets the system drop the pages of `range` (a piece of map()) from memory: they were read and are
    // not needed again. They stay readable, from the file.
    void release(std::string_view range);

    const std::string& error() const { return error_; }

private:
    bool flush();
    void unmap();

    int fd_ = -1;
    std::size_t size_ = 0;  // bytes in the file
    std::string buffered_;  // bytes not yet written, to spare a system call per small piece
    void* mapping_ = nullptr;
    std::size_t mapped_ = 0;
    std::string error_;
};

}  // namespace server
