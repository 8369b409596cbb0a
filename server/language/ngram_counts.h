#pragma once

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <unordered_map>
#include <vector>

namespace server {

// Counts of the words, word pairs and word triples of a text, kept within a fixed number of distinct pairs
// and triples however long the text, so memory stays bounded: when they pass the cap, those seen least
// often so far are dropped until a quarter of the room is free. Words are numbers given by the caller,
// below 2^21; sentence_start and sentence_end are reserved.
class NgramCounts {
public:
    static constexpr std::uint32_t sentence_start = 0;
    static constexpr std::uint32_t sentence_end = 1;
    static constexpr std::uint32_t max_words = 1u << 21;

    explicit NgramCounts(std::size_t max_pairs_and_triples);

    // One sentence's words in order; `break_before[i]` true where a word the recogniser doesn't know stood
    // before words[i] (break_before[words.size()]: before the sentence's end), so no pair or triple spans
    // it. A sentence without words counts nothing.
    void add_sentence(const std::vector<std::uint32_t>& words, const std::vector<bool>& break_before);

    // Writes a trigram back-off model in ARPA text, with interpolated absolute discounting (each seen pair
    // and triple gives up `discount` of its count to the shorter context's distribution). Words never seen
    // are left out: mixed with the general model, they keep what that gives them. `names` gives each
    // word number its spelling. Returns how many of each order were written.
    struct Written {
        std::size_t words = 0, pairs = 0, triples = 0;
    };
    // `base`, when given, is the distribution the model backs off to in place of the text's own word
    // frequencies (a word it gives 0 keeps its frequency in the text).
    Written write_arpa(std::ostream& out, const std::vector<std::string>& names, double discount = 0.7,
                       const std::function<double(std::uint32_t word)>& base = {}) const;

    std::uint64_t tokens() const { return tokens_; }
    std::size_t distinct() const { return pairs_.size() + triples_.size(); }
    // Pairs and triples seen this often or less were dropped at some point; 0 when none were.
    std::uint32_t pruned_at_most() const { return pruned_at_most_; }

private:
    void count_pair(std::uint64_t key);
    void count_triple(std::uint64_t key);
    void prune();

    std::size_t cap_;
    std::uint32_t pruned_at_most_ = 0;
    std::uint64_t tokens_ = 0;
    std::vector<std::uint64_t> words_;  // by word number
    std::unordered_map<std::uint64_t, std::uint32_t> pairs_;
    std::unordered_map<std::uint64_t, std::uint32_t> triples_;
};

}  // namespace server
