#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace server {

// A pronunciation in the acoustic model's phones ("K AE T") for a word the dictionary lacks, or nullopt.
using Pronounce = std::function<std::optional<std::string>(std::string_view word)>;

struct LearningSettings {
    std::vector<std::string> paths;  // files and folders of the person's writing (text_files.h)
    std::string language_dir;        // the profile part to write (language_part.h)
    std::string model_dir;           // the stock model: its dictionary and general language model
    // Words the dictionary lacks are left out of the model unless this gives them a pronunciation: asked
    // only of words of 2 to 20 letters a-z, once each, for at most `max_new_words` of them (the first met),
    // so no text can grow the dictionary, and each server start, without bound. The rest are listed as
    // skipped.
    Pronounce pronounce;
    std::size_t max_ngrams = 2'000'000;  // distinct pairs and triples counted at once (memory bound)
    std::size_t max_new_words = 5'000;
};

struct LearningResult {
    std::size_t files_read = 0;
    std::uint64_t bytes_read = 0;
    std::uint64_t sentences = 0;  // learnt from
    std::uint64_t words = 0;      // learnt from
    std::uint64_t held_back_sentences = 0;
    std::uint64_t held_back_words = 0;  // scored: words the general model knows, and sentence ends
    std::vector<std::pair<std::string, std::uint64_t>> unknown_words;  // most frequent first
    std::uint64_t unknown_word_count = 0;                              // distinct, all of them
    std::size_t new_words = 0;           // given sounds and learnt (written to words.dict, language_part.h)
    std::size_t pairs = 0, triples = 0;  // in the model written
    std::uint32_t pruned_at_most = 0;
    double general_perplexity = 0.0;
    double mixed_perplexity = 0.0;
    double weight = 0.0;  // the learnt model's share in the mixture that scored best
    bool kept = false;    // the learnt language is now the profile's
};

// Learns the phrasing of the person's writing: the text is split into sentences (text_words.h), every
// tenth sentence is held back, the rest counted into a trigram model (ngram_counts.h) of the words the
// recogniser knows. The mixing weight is the one whose mixture of the general model with the learnt one
// gives the held-back sentences the lowest perplexity, and the learnt language replaces the profile's
// (profile_swap.h, under the part's lock) only when that is lower than the general model's alone.
// `say` gets a line for each file skipped or read in part, and each step. Throws std::runtime_error with
// the reason when nothing usable can be learnt (no text, too few sentences to hold some back) or a step
// fails; the profile is then as it was.
LearningResult learn_language(const LearningSettings& settings,
                              const std::function<void(const std::string&)>& say);

// The weight, among those tried, that gives `pairs` of (general, learnt) probabilities of the same words
// the lowest perplexity when mixed, and that perplexity. Exposed for its test.
std::pair<double, double> best_mixture(const std::vector<std::pair<double, double>>& pairs);

}  // namespace server
