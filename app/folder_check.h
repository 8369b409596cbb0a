#pragma once

#include <functional>
#include <string_view>

// At start: one line through `tell` for each of the take folder and the transcript folder that is missing or
// can't be written, saying what to create or mend and what happens until then. Creates nothing: where the
// files go is the person's choice. Main thread.
void check_folders(const std::function<void(std::string_view)>& tell);
