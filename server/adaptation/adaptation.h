#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace server {

struct AdaptationSettings {
    std::vector<std::string> pair_folders;  // see find_pairs for what counts as a pair
    std::string voice_dir;                  // the profile to write or update
    std::string stock_model_dir;            // the model every profile is adapted from
    // Below a minute of speech MAP made recognition worse in our measurements, and a tenth of it is too
    // little to judge by; the speaker's cepstral mean needs about as much to be trusted.
    double seconds_for_map = 60;   // of adaptation speech, before MAP is tried
    double seconds_for_mean = 60;  // of speech in all, before the mean alone is kept
};

// Word error on the held-back takes, in percent, of one model.
struct HeldBackFigure {
    std::string model;  // "stock model", "current profile", "MAP"
    double word_error = 0;
};

struct AdaptationResult {
    std::size_t pairs_used = 0;  // adapted on
    std::size_t pairs_held_back = 0;
    std::vector<std::string> unknown_words;  // pairs skipped for a word not in the dictionary
    double adapted_seconds = 0;
    double held_back_seconds = 0;
    HeldBackFigure before;                // the model in use before this run
    std::vector<HeldBackFigure> adapted;  // each adapted model tried
    // What the profile holds now: "MAP", "cepstral mean" (the speaker's mean alone, on the stock
    // model), or empty when the profile was left as it was.
    std::string kept;
    double kept_word_error = 0;
};

enum class Keep { adapted, mean_only, nothing };

// The rule that keeps adaptation from making things worse: an adapted model is kept only when its word
// error on the held-back takes is below that of the model in use (`error_before`); otherwise, when there is
// no profile yet and enough speech, the speaker's cepstral mean alone; otherwise nothing changes.
Keep choose_what_to_keep(double error_before, std::optional<double> adapted_error, bool has_profile,
                         bool enough_for_mean);

// Adapts the stock model to the speaker of the pairs in `settings.pair_folders` and updates the profile in
// `settings.voice_dir`. A tenth of the pairs (at least one) is held back; each adapted model is kept only
// if it makes fewer word errors on them than the model in use (the current profile, or the stock model),
// and the speaker's cepstral mean alone is kept from a minute of speech on, since it needs no transcript.
// `progress` is told what is happening, a line at a time, on the calling thread. Runs the training tools
// in a work folder beside the profile, removed at the end. Throws std::runtime_error naming the step,
// file or tool and the reason when adaptation cannot go on; the profile is then left as it was.
AdaptationResult adapt_voice(const AdaptationSettings& settings,
                             const std::function<void(const std::string&)>& progress);

}  // namespace server
