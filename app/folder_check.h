#pragma once

#include <functional>
#include <string_view>

#include "app/take_paths.h"

// At start: one line through `tell` for each of `paths`' take folder and transcript folder that is missing or
// can't be written, saying what to create or mend and what happens until then. Creates nothing: where the
// files go is the person's choice. Main thread.
void check_folders(const TakePaths& paths, const std::function<void(std::string_view)>& tell);
