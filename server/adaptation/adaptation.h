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
    // Below a minute of speech MAP made recognition worse in our measurements.
    double seconds_for_map = 60;  // of adaptation speech, before MAP is tried
};

// Word error on the held-back takes of one model.
struct HeldBackFigure {
    std::string model;  // "stock model", "current profile", "MAP"
    std::size_t errors = 0;
    double word_error = 0;  // in percent of the held-back words
};

struct AdaptationResult {
    std::size_t pairs_used = 0;  // adapted on
    std::size_t pairs_held_back = 0;
    std::vector<std::string> unknown_words;  // pairs skipped for a word not in the dictionary
    double adapted_seconds = 0;
    double held_back_seconds = 0;
    std::size_t held_back_words = 0;
    bool enough_held_back = false;        // see HeldBack::enough
    HeldBackFigure before;                // the model in use before this run
    std::vector<HeldBackFigure> adapted;  // each adapted model tried
    // "MAP" when the profile holds a new adapted model now, empty when it was left as it was.
    std::string kept;
    double kept_word_error = 0;
};

enum class Keep { adapted, nothing };

// The rule that keeps adaptation from making things worse, on word errors counted over the held-back takes:
// an adapted model is kept when it makes fewer than the model in use. When there was not enough speech to
// hold back what a judge needs (`enough_held_back` false), a few words decide by chance, so it must make at
// least a fifth fewer.
Keep choose_what_to_keep(std::size_t errors_before, std::optional<std::size_t> adapted_errors,
                         bool enough_held_back);

// Adapts the stock model to the speaker of the pairs in `settings.pair_folders` and updates the profile in
// `settings.voice_dir`. Takes are held back as choose_held_back says; each adapted model is kept only as
// choose_what_to_keep says, against the model in use (the current profile, or the stock model).
// `progress` is told what is happening, a line at a time, on the calling thread. Runs the training tools
// in a work folder beside the profile, removed at the end. Throws std::runtime_error naming the step,
// file or tool and the reason when adaptation cannot go on; the profile is then left as it was.
AdaptationResult adapt_voice(const AdaptationSettings& settings,
                             const std::function<void(const std::string&)>& progress);

}  // namespace server
