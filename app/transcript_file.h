#pragma once

#include <string>
#include <string_view>

#include "app/take_paths.h"

// Where a take's text went.
struct SavedTranscript {
    int error = 0;     // 0, or the OS's error number for why the text is not saved
    std::string path;  // the file that holds it (on failure: the name that failed)
};

// Saves `text`, byte for byte but for line ends in Windows' form (CR LF) there, with one line end, as
// "<stem>_transcription.txt" in `paths`' transcript folder. The file is created exclusively and never through
// a link, as takes are: when something has the name already (a file, or a link planted there, dangling or
// not), "<stem>_2_transcription.txt", "_3", ... is used, and nothing that exists is ever written to. When the
// text can't be saved in full (a full disk, a folder that can't be written), no file is left behind. Main
// thread.
SavedTranscript save_transcript(const TakePaths& paths, const std::string& stem, std::string_view text);

// Writes `text` and one line end as a new file at `path`, as save_transcript() does under each name it tries:
// line ends in the platform's form, created exclusively (EEXIST when anything, a link too, has the name),
// never left part-written. Returns 0 or the OS's error number. Main thread.
int write_new_text(const std::string& path, std::string_view text);
