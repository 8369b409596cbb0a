#include "app/take_names.h"

#include <cerrno>
#include <filesystem>

namespace {
// More takes in one second than anyone makes.
constexpr int most_takes_per_name = 1000;
}  // namespace

ClaimedName claim_take_name(const TakePaths& paths, const std::string& timestamp,
                            const std::function<int(const std::string&)>& create) {
    ClaimedName claimed;
    claimed.error = EEXIST;
    for (int n = 1; n <= most_takes_per_name && claimed.error == EEXIST; ++n) {
        claimed.stem = n == 1 ? timestamp : timestamp + "_" + std::to_string(n);
        claimed.wav_path = paths.wav_path(claimed.stem);
        std::error_code ignored;
        if (std::filesystem::exists(paths.transcript_path(claimed.stem), ignored)) continue;
        claimed.error = create(claimed.wav_path);
    }
    if (claimed.error == EEXIST) claimed.wav_path = paths.wav_path(timestamp);
    return claimed;
}
