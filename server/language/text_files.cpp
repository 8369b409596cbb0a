#include "server/language/text_files.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "server/adaptation/adaptation_input.h"

namespace server {
namespace fs = std::filesystem;

namespace {

constexpr std::size_t block_bytes = 1 << 20;

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool is_writing(const fs::path& path) {
    const std::string name = lower(path.filename().string());
    if (name.ends_with("_transcription.txt")) return false;
    return name.ends_with(".txt") || name.ends_with(".md");
}

std::string megabytes(std::uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.0f MB", static_cast<double>(bytes) / 1e6);
    return text;
}

// A text whose first block holds a NUL byte, or more bytes that are not UTF-8 than a third, is no writing
// (a page of Latin-1 French has a few in a hundred).
bool looks_binary(const std::string& block) {
    if (block.find('\0') != std::string::npos) return true;
    TextWords probe({[](std::string_view) {}, [] {}});
    probe.feed(block);
    return probe.invalid_bytes() * 3 > block.size();
}

}  // namespace

TextFiles find_text_files(const std::vector<std::string>& paths) {
    TextFiles found;
    std::vector<std::string> folders;
    for (const auto& path : paths) {
        std::error_code error;
        if (fs::is_directory(fs::symlink_status(path, error))) {
            const fs::path canonical = fs::canonical(path, error);
            if (!error) folders.push_back(canonical.string());
        }
    }
    for (const auto& path : paths) {
        std::error_code error;
        const fs::file_status status = fs::symlink_status(path, error);
        if (error || status.type() == fs::file_type::not_found) {
            found.refused.push_back(path + ": " + (error ? error.message() : "no such file or folder"));
            continue;
        }
        if (!fs::is_directory(status)) {
            found.files.push_back(path);  // named by the person: read whatever its name, if it is a file
            continue;
        }
        fs::recursive_directory_iterator walk(path, fs::directory_options::skip_permission_denied, error);
        for (; !error && walk != fs::recursive_directory_iterator(); walk.increment(error)) {
            const fs::directory_entry& entry = *walk;
            if (!is_writing(entry.path())) continue;
            const InputPath input = resolve_input(entry.path().string(), folders);
            if (input.refusal) {
                found.refused.push_back(entry.path().string() + ": " + input.refusal.reason);
            } else {
                found.files.push_back(input.path);  // a link's file once, however many links name it
            }
        }
        if (error) found.refused.push_back(path + ": cannot list it (" + error.message() + ")");
    }
    std::sort(found.files.begin(), found.files.end());
    found.files.erase(std::unique(found.files.begin(), found.files.end()), found.files.end());
    return found;
}

FileReading read_text_file(const std::string& path, TextWords& words, std::uint64_t max_bytes) {
    FileReading reading;
    Refusal refusal;
    const int fd = open_input_file(path, refusal);
    if (fd < 0) {
        reading.note = refusal.reason + ", skipped";
        return reading;
    }
    const std::uint64_t invalid_before = words.invalid_bytes();
    std::string block;
    bool first = true;
    while (reading.bytes < max_bytes) {
        block.resize(
            static_cast<std::size_t>(std::min<std::uint64_t>(block_bytes, max_bytes - reading.bytes)));
        const ssize_t got = ::read(fd, block.data(), block.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            reading.note = std::string("cannot read it past ") + std::to_string(reading.bytes) + " bytes (" +
                           std::strerror(errno) + ")" +
                           (reading.read ? "; the rest is left out" : ", skipped");
            break;
        }
        if (got == 0) break;
        block.resize(static_cast<std::size_t>(got));
        if (first && looks_binary(block)) {
            reading.note = "a binary file, not text, skipped";
            break;
        }
        first = false;
        words.feed(block);
        reading.read = true;
        reading.bytes += block.size();
    }
    if (reading.note.empty() && reading.bytes >= max_bytes) {
        char probe = 0;
        if (::read(fd, &probe, 1) == 1)
            reading.note = "over " + megabytes(max_bytes) + ": read its first " + megabytes(max_bytes);
    }
    ::close(fd);
    if (reading.read) words.finish();
    if (reading.note.empty() && !reading.read) reading.note = "empty, skipped";
    const std::uint64_t invalid = words.invalid_bytes() - invalid_before;
    if (reading.note.empty() && invalid > 0)
        reading.note =
            "not UTF-8 (" + std::to_string(invalid) + " bytes): the words holding them were left out";
    return reading;
}

}  // namespace server
