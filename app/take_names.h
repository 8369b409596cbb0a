#pragma once

#include <functional>
#include <string>

#include "app/take_paths.h"

// The names of a take's files (take_paths.h): the stem is the take's timestamp, or, when a take of that name
// exists already (two takes begun in one second, in this process or another),
// "<timestamp>_2", "<timestamp>_3", ... No take or transcript is ever replaced.

struct ClaimedName {
    int error = 0;         // 0, or the OS's error number from `create`
    std::string stem;      // the stem of the name claimed
    std::string wav_path;  // the WAV's path (on failure: the one that failed)
};

// Offers `create` the WAV paths in `paths`' WAV folder in turn, skipping stems whose transcript exists
// already in its transcript folder, until it returns something other than EEXIST. `create` makes the file at
// the path exclusively (it must fail with EEXIST, touching nothing, when the name is taken). Main thread.
ClaimedName claim_take_name(const TakePaths& paths, const std::string& timestamp,
                            const std::function<int(const std::string&)>& create);
