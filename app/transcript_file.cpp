#include "app/transcript_file.h"

#include <cerrno>

#include "app/transcription_stage.h"
#include "platform/durable_file.h"

namespace {
// More transcripts under one name than a person makes.
constexpr int most_names = 1000;
#if defined(_WIN32)
constexpr bool windows_line_ends = true;
#else
constexpr bool windows_line_ends = false;
#endif
}  // namespace

SavedTranscript save_transcript(const std::string& folder, const std::string& stem, std::string_view text) {
    SavedTranscript saved;
    FileHandle file;
    saved.error = EEXIST;
    for (int n = 1; n <= most_names && saved.error == EEXIST; ++n) {
        saved.path = folder + (n == 1 ? stem : stem + "_" + std::to_string(n)) + transcript_suffix;
        saved.error = create_exclusive(saved.path, file);
    }
    if (saved.error != 0) {
        if (saved.error == EEXIST) saved.path = folder + stem + transcript_suffix;
        return saved;
    }
    std::string line;
    line.reserve(text.size() + 2);
    for (const char c : text) {
        // A text file in the platform's own form: Windows' programs expect CR LF line ends.
        if (c == '\n' && windows_line_ends) line += '\r';
        line += c;
    }
    if (windows_line_ends) line += '\r';
    line += '\n';
    std::size_t written = 0;
    saved.error = write_at(file, 0, line.data(), line.size(), written);
    close_file(file);
    // Part of a text, or an empty file, would pass for the whole of it.
    if (saved.error != 0) (void)remove_file(saved.path);
    return saved;
}
