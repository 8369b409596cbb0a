#include "platform/durable_file.h"

#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/held_file_retry_windows.h"
#include "platform/windows_error.h"

namespace {

// The lock is taken on one byte far past any take's end: Windows' locks bar other handles from reading and
// writing the range they cover, and readers of a journal (a recovery in another process) must not be barred.
constexpr DWORD lock_offset_high = 0x7FFFFFFF;

int errno_of(DWORD error) {
    switch (error) {
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return EEXIST;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
            return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_WRITE_PROTECT:
            return EACCES;
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
            return EWOULDBLOCK;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return ENOSPC;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            return ENOMEM;
        case ERROR_INVALID_NAME:
        case ERROR_FILENAME_EXCED_RANGE:
            return ENAMETOOLONG;
        default:
            // Told in the system's own words by error_text(); only a code that can't be negated is EIO.
            return error > 0 && error <= 0xFFFF ? -static_cast<int>(error) : EIO;
    }
}

int last_error() { return errno_of(GetLastError()); }

std::wstring wide(const std::string& utf8) {
    if (utf8.empty()) return {};
    const int length =
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), length);
    return out;
}

int open_file(const std::string& path, DWORD disposition, FileHandle& file) {
    // Others may read, write, rename and delete it while it is open, as on POSIX: a journal is renamed
    // while still open, and a recovery in another process reads it.
    // FILE_FLAG_OPEN_REPARSE_POINT: a symbolic link or junction under the name is opened itself, never
    // followed, so it can't steer a write to a file elsewhere.
    const HANDLE h = CreateFileW(wide(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, disposition,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return last_error();
    file.handle = h;
    return 0;
}

OVERLAPPED at(std::uint64_t offset) {
    OVERLAPPED where{};
    where.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
    where.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return where;
}

// MOVEFILE_WRITE_THROUGH waits only for a move between volumes; a rename within one volume is a change of
// metadata that reaches the disk later. Flushing the file under its new name commits its pending metadata,
// the name included, and flushes the drive's cache. Best effort, as a folder's sync is on POSIX: the
// rename has happened either way.
void make_name_durable(const std::string& path) {
    const HANDLE h =
        CreateFileW(wide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return;
    (void)FlushFileBuffers(h);
    CloseHandle(h);
}

// One call moves at most this much, so that a byte count always fits a DWORD.
constexpr std::size_t most_per_call = std::size_t{1} << 30;

}  // namespace

int create_exclusive(const std::string& path, FileHandle& file) { return open_file(path, CREATE_NEW, file); }

int open_existing(const std::string& path, FileHandle& file) {
    if (const int e = open_file(path, OPEN_EXISTING, file); e != 0) return e;
    BY_HANDLE_FILE_INFORMATION info{};
    int problem = 0;
    if (!GetFileInformationByHandle(file.handle, &info))
        problem = last_error();
    else if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        problem = ELOOP;
    else if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
             GetFileType(file.handle) != FILE_TYPE_DISK)
        problem = EINVAL;
    else if (info.nNumberOfLinks > 1)
        problem = EMLINK;
    if (problem != 0) close_file(file);
    return problem;
}

void close_file(FileHandle& file) {
    if (file.handle != nullptr) CloseHandle(file.handle);
    file.handle = nullptr;
}

int write_at(FileHandle file, std::uint64_t offset, const void* data, std::size_t size,
             std::size_t& written) {
    written = 0;
    const char* next = static_cast<const char*>(data);
    while (written < size) {
        OVERLAPPED where = at(offset + written);
        DWORD n = 0;
        const auto chunk = static_cast<DWORD>(std::min(size - written, most_per_call));
        if (!WriteFile(file.handle, next + written, chunk, &n, &where)) return last_error();
        if (n == 0) return EIO;
        written += n;
    }
    return 0;
}

int read_at(FileHandle file, std::uint64_t offset, void* data, std::size_t size, std::size_t& got) {
    got = 0;
    char* next = static_cast<char*>(data);
    while (got < size) {
        OVERLAPPED where = at(offset + got);
        DWORD n = 0;
        const auto chunk = static_cast<DWORD>(std::min(size - got, most_per_call));
        if (!ReadFile(file.handle, next + got, chunk, &n, &where)) {
            if (GetLastError() == ERROR_HANDLE_EOF) break;
            return last_error();
        }
        if (n == 0) break;
        got += n;
    }
    return 0;
}

int file_size(FileHandle file, std::uint64_t& size) {
    LARGE_INTEGER length{};
    if (!GetFileSizeEx(file.handle, &length)) return last_error();
    size = static_cast<std::uint64_t>(length.QuadPart);
    return 0;
}

int truncate_file(FileHandle file, std::uint64_t size) {
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
    return SetFileInformationByHandle(file.handle, FileEndOfFileInfo, &end, sizeof end) ? 0 : last_error();
}

void reserve_space(FileHandle file, std::uint64_t size) {
    FILE_ALLOCATION_INFO room{};
    room.AllocationSize.QuadPart = static_cast<LONGLONG>(size);
    (void)SetFileInformationByHandle(file.handle, FileAllocationInfo, &room, sizeof room);
}

int sync_data(FileHandle file) { return FlushFileBuffers(file.handle) ? 0 : last_error(); }

int try_lock(FileHandle file) {
    OVERLAPPED where{};
    where.OffsetHigh = lock_offset_high;
    if (LockFileEx(file.handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &where))
        return 0;
    return last_error();
}

bool still_named(FileHandle file, const std::string& path) {
    const HANDLE named =
        CreateFileW(wide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (named == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION open_info{}, named_info{};
    const bool same = GetFileInformationByHandle(file.handle, &open_info) &&
                      GetFileInformationByHandle(named, &named_info) &&
                      open_info.dwVolumeSerialNumber == named_info.dwVolumeSerialNumber &&
                      open_info.nFileIndexHigh == named_info.nFileIndexHigh &&
                      open_info.nFileIndexLow == named_info.nFileIndexLow;
    CloseHandle(named);
    return same;
}

int rename_no_replace(const std::string& from, const std::string& to) {
    // Without MOVEFILE_REPLACE_EXISTING the move fails when `to` exists.
    const bool moved = retry_while_held(
        [&] { return MoveFileExW(wide(from).c_str(), wide(to).c_str(), MOVEFILE_WRITE_THROUGH) != 0; });
    if (!moved) return last_error();
    make_name_durable(to);
    return 0;
}

int remove_file(const std::string& path) {
    return retry_while_held([&] { return DeleteFileW(wide(path).c_str()) != 0; }) ? 0 : last_error();
}

int create_private_folder(const std::string& parent, const std::string& prefix, std::string& made) {
    // The user's temporary folder is private to the user already; a new folder in it inherits that.
    static unsigned attempt = 0;
    for (int tries = 0; tries < 1000; ++tries) {
        const std::string name = parent + prefix + std::to_string(GetCurrentProcessId()) + "-" +
                                 std::to_string(GetTickCount64()) + "-" + std::to_string(++attempt);
        if (CreateDirectoryW(wide(name).c_str(), nullptr)) {
            made = name + "/";
            return 0;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS) return last_error();
    }
    return EEXIST;
}

int folder_problem(const std::string& path) {
    const DWORD attributes = GetFileAttributesW(wide(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return last_error();
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return ENOTDIR;
    // Windows ignores the read-only attribute on folders, and whether files can be made in one is known
    // only by making one; a take that can't be written is reported when it ends.
    return 0;
}

int sync_directory(const std::string& path) {
    // A folder's entries can't be flushed through a handle without administrator rights; NTFS journals
    // them itself, and rename_no_replace above flushes a renamed file, which commits its new name.
    (void)path;
    return 0;
}

std::string error_text(int error) {
    if (error < 0) return windows_error_text(static_cast<unsigned long>(-error));
    // The C runtime has no words for this one; it stands for a file another program holds.
    if (error == EWOULDBLOCK) return windows_error_text(ERROR_SHARING_VIOLATION);
    return error != 0 ? std::strerror(error) : "unknown I/O error";
}
