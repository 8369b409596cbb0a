#include "app/take_names.h"

#include <cerrno>
#include <filesystem>

#include "app/recording_cycle.h"
#include "app/transcription_stage.h"

namespace {
// More takes in one second than anyone makes.
constexpr int most_takes_per_name = 1000;
}  // namespace

ClaimedName claim_take_name(const std::string& timestamp,
                            const std::function<int(const std::string&)>& create) {
    ClaimedName claimed;
    claimed.error = EEXIST;
    for (int n = 1; n <= most_takes_per_name && claimed.error == EEXIST; ++n) {
        claimed.stem = n == 1 ? timestamp : timestamp + "_" + std::to_string(n);
        claimed.wav_path = std::string(wav_directory) + claimed.stem + wav_suffix;
        std::error_code ignored;
        if (std::filesystem::exists(std::string(transcript_directory) + claimed.stem + transcript_suffix,
                                    ignored)) {
            continue;
        }
        claimed.error = create(claimed.wav_path);
    }
    if (claimed.error == EEXIST) claimed.wav_path = std::string(wav_directory) + timestamp + wav_suffix;
    return claimed;
}
