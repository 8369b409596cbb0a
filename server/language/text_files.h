#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "server/language/text_words.h"

namespace server {

// The person's writing --learn-text reads, which may sit among anything: the files given by name, and in
// the folders given, every `.txt` and `.md` file (any case) at any depth. A take's unedited transcript
// (`*_transcription.txt`) is the recogniser's own output and never counts; a person's correction of it
// (`*_corrected.txt`) does. Links to folders are never followed; a link to a file only when the file is
// inside one of the folders given, and then by the file's own path, once. Sorted by path, so a run reads in
// the same order every time.
struct TextFiles {
    std::vector<std::string> files;
    std::vector<std::string> refused;  // "PATH: reason", for a line each
};
TextFiles find_text_files(const std::vector<std::string>& paths);

// Caps on what is read, so a huge file costs bounded time.
inline constexpr std::uint64_t max_file_bytes = 64'000'000;

// Feeds the regular file `path` to `words` a block at a time (opened as adaptation opens its inputs:
// without waiting and without following a last link) and finishes its text. Returns an empty string when
// the file was read whole, else the line that says what happened to it ("empty", "a binary file",
// "not UTF-8 ...", "read its first 64 MB"); `read` says whether any of it was fed.
struct FileReading {
    std::string note;
    bool read = false;
    std::uint64_t bytes = 0;
};
FileReading read_text_file(const std::string& path, TextWords& words,
                           std::uint64_t max_bytes = max_file_bytes);

}  // namespace server
