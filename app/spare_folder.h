#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "app/take_paths.h"
#include "audio/sample_buffer.h"
#include "platform/durable_file.h"

// Where a take goes when the take folder can't hold it (missing, read-only, full): a folder of this run's
// own, readable by this user only, made in the system's temporary folder the first time one is needed.
// Main thread.
class SpareFolder {
public:
    struct Copy {
        int error = 0;     // 0, or the OS's error number for why the take could not be kept here
        std::string path;  // the file that holds the whole take; on failure, the folder or file that failed
    };

    // Takes are named as `paths` names them in the WAV folder.
    explicit SpareFolder(TakePaths paths) : paths_(std::move(paths)) {}

    // Writes the take, the first `head_samples` samples from the WAV open as `head` (a journal that
    // stopped; none when 0) and then `rest`, as "<timestamp>_output.wav" (or "_2", ... when taken), synced
    // with its folder before it returns. A copy that could not be written whole leaves no file.
    Copy keep(const std::string& timestamp, FileHandle head, std::uint64_t head_samples,
              const SampleBuffer& rest);

private:
    TakePaths paths_;
    std::string folder_;  // ends with '/'; empty until made
};
