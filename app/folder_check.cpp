#include "app/folder_check.h"

#include <cerrno>
#include <string>

#include "platform/durable_file.h"

namespace {

void check(const std::function<void(std::string_view)>& tell, std::string folder, const char* keeps,
           const char* meanwhile) {
    folder.pop_back();  // the trailing '/'
    std::string line;
    switch (const int problem = folder_problem(folder)) {
        case 0:
            return;
        case ENOENT:
            line = "the folder " + folder + " does not exist: create it to keep " + keeps;
            break;
        case ENOTDIR:
            line = folder + " is not a folder: make it one to keep " + keeps;
            break;
        default:
            line = "the folder " + folder + " can't be written (" + error_text(problem) +
                   "): make it writable to keep " + keeps;
            break;
    }
    tell(line + "; until then " + meanwhile);
}

}  // namespace

void check_folders(const TakePaths& paths, const std::function<void(std::string_view)>& tell) {
    check(tell, paths.wav_folder, "the recordings there",
          "each take is kept in a temporary folder, named when it ends, and still transcribed");
    check(tell, paths.transcript_folder, "the text of the takes", "the text is only shown");
}
