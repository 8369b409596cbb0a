#include "app/transcript_file.h"

#include <cerrno>

#include "platform/durable_file.h"
#include "platform/text_file_bytes.h"

namespace {
// More transcripts under one name than a person makes.
constexpr int most_names = 1000;
}  // namespace

SavedTranscript save_transcript(const TakePaths& paths, const std::string& stem, std::string_view text) {
    SavedTranscript saved;
    saved.error = EEXIST;
    for (int n = 1; n <= most_names && saved.error == EEXIST; ++n) {
        saved.path = paths.transcript_path(n == 1 ? stem : stem + "_" + std::to_string(n));
        saved.error = write_new_text(saved.path, text);
    }
    if (saved.error == EEXIST) saved.path = paths.transcript_path(stem);
    return saved;
}

int write_new_text(const std::string& path, std::string_view text) {
    FileHandle file;
    if (const int error = create_exclusive(path, file); error != 0) return error;
    // A text file in the platform's own form: Windows' programs expect CR LF line ends.
    const std::string line = text_file_bytes(text);
    std::size_t written = 0;
    const int error = write_at(file, 0, line.data(), line.size(), written);
    close_file(file);
    // Part of a text, or an empty file, would pass for the whole of it.
    if (error != 0) (void)remove_file(path);
    return error;
}
