#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace server {

// An upload's file kept on disk instead of in memory: appended to as the body arrives, then mapped
// read-only for decoding, so that pages already decoded can be given back. The file never has a name (it is
// made with O_TMPFILE, never linked), so it disappears with the process whatever happens. It lives in
// $TMPDIR, or /tmp: where /tmp is a tmpfs its files are memory, so an upload is taken only when the folder's
// file system has room for it (see reserve). Used by one thread at a time; closes everything on destruction.
class UploadSpool {
public:
    UploadSpool() = default;
    ~UploadSpool();
    UploadSpool(const UploadSpool&) = delete;
    UploadSpool& operator=(const UploadSpool&) = delete;

    // Where spools live: $TMPDIR, or /tmp.
    static std::string folder();
    // Free space the folder's file system keeps beyond every upload's promised bytes.
    static constexpr std::uint64_t kept_free = 64ull << 20;

    // Promises room for `bytes` more: the folder's file system must have them free beyond what other
    // spools were promised and have not yet written, plus `kept_free`. The promise shrinks as bytes are
    // written and ends with the spool. False (with error() naming the folder and the figures, and
    // out_of_room()) when there is no such room. Thread-safe against other spools.
    bool reserve(std::uint64_t bytes);

    // Appends bytes, creating the file on first use. False (with error()) if the file can't be made or
    // written; the spool then stays failed.
    bool append(std::string_view bytes);
    // Writes what append() buffered to the file now, so that a reader of descriptor() sees every byte
    // appended. False (with error()) as append().
    bool sync() { return buffered_.empty() || flush(); }
    // The file, once something was written to it (-1 before); owned by the spool.
    int descriptor() const { return fd_; }
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
    // Whether the failure was the file system being full (or having no room to promise).
    bool out_of_room() const { return out_of_room_; }

private:
    bool flush();
    void unmap();

    int fd_ = -1;
    std::size_t size_ = 0;  // bytes in the file
    std::string buffered_;  // bytes not yet written, to spare a system call per small piece
    void* mapping_ = nullptr;
    std::size_t mapped_ = 0;
    std::string error_;
    bool out_of_room_ = false;
    std::uint64_t promised_ = 0;  // bytes reserved and not yet written
};

}  // namespace server
