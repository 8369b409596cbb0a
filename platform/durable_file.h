#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The few file-system calls that keeping a take safe on disk needs, behind a plain interface with one POSIX
// and one Windows implementation. Files are raw bytes on both: nothing is translated (no CR before LF). Every
// call returns 0 or an errno value (EEXIST, ENOSPC, EWOULDBLOCK, ...; Windows' own errors are mapped onto
// these, and one with no counterpart is returned as its Windows code negated); none throws or prints. Any
// thread, one file per thread.

// An open file. Owned by whoever opened it; close_file() releases it (and any lock on it).
struct FileHandle {
#if defined(_WIN32)
    void* handle = nullptr;  // a HANDLE
    bool open() const { return handle != nullptr; }
#else
    int fd = -1;
    bool open() const { return fd >= 0; }
#endif
};

// Creates `path`, failing with EEXIST when anything of that name exists already (a link too, dangling or
// not: it is never followed), so that two writers, in this process or another, can never both get the same
// name, and a link planted under the name can never steer a write to a file elsewhere.
int create_exclusive(const std::string& path, FileHandle& file);
// Opens an existing file for reading and writing, never through a link: ELOOP when `path` is a link (a
// symbolic link, a junction or another reparse point), EINVAL when it names something other than a regular
// file, EMLINK when the file has other names too (a hard link could lead to a file outside the folder).
// Nothing is opened then.
int open_existing(const std::string& path, FileHandle& file);
void close_file(FileHandle& file);

// Writes all `size` bytes at `offset`; `written` says how many landed, also when it fails part way.
int write_at(FileHandle file, std::uint64_t offset, const void* data, std::size_t size, std::size_t& written);
// Reads up to `size` bytes at `offset`; `got` is short only at the end of the file.
int read_at(FileHandle file, std::uint64_t offset, void* data, std::size_t size, std::size_t& got);
int file_size(FileHandle file, std::uint64_t& size);
int truncate_file(FileHandle file, std::uint64_t size);
// Asks the file system to set aside room for `size` bytes without changing the file's length. Best effort:
// nothing is reported.
void reserve_space(FileHandle file, std::uint64_t size);
// Returns once the file's data (and the length that reaches it) is on stable storage.
int sync_data(FileHandle file);

// A lock on the whole file that lasts while this handle is open and vanishes with the process, however it
// ends. Never waits: EWOULDBLOCK when another holder has it.
int try_lock(FileHandle file);
// True when `path` still names the open file (it was not removed or replaced since it was opened).
bool still_named(FileHandle file, const std::string& path);

// Renames `from` to `to`, failing with EEXIST instead of replacing anything at `to`. On Windows a file held
// for a moment by another program is waited for (about 2 s), and the new name is flushed to stable storage.
int rename_no_replace(const std::string& from, const std::string& to);
// On Windows a file held for a moment by another program is waited for, as by rename_no_replace().
int remove_file(const std::string& path);
// Makes a new folder, readable and writable by this user only, inside `parent` (which ends with '/'), named
// "<prefix>" and something no other folder there has; `made` is its path, ending with '/'.
int create_private_folder(const std::string& parent, const std::string& prefix, std::string& made);
// 0 when `path` is a folder this process can create files in; otherwise ENOENT (missing), ENOTDIR (not a
// folder) or the reason it can't be written (EACCES, EROFS, ...). Creates nothing.
int folder_problem(const std::string& path);
// Makes the folder's entries (files created, renamed or removed in it) reach stable storage.
int sync_directory(const std::string& path);

// The OS's words for an error number; on Windows, a negated Windows code in the system's own words and code.
std::string error_text(int error);
