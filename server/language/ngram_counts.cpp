#include "server/language/ngram_counts.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <utility>

namespace server {
namespace {

constexpr std::uint32_t none = std::numeric_limits<std::uint32_t>::max();
constexpr int word_bits = 21;
constexpr std::uint64_t word_mask = (std::uint64_t{1} << word_bits) - 1;

std::uint64_t pair_key(std::uint64_t a, std::uint64_t b) { return (a << word_bits) | b; }

std::vector<std::pair<std::uint64_t, std::uint32_t>> sorted(
    const std::unordered_map<std::uint64_t, std::uint32_t>& counts) {
    std::vector<std::pair<std::uint64_t, std::uint32_t>> list(counts.begin(), counts.end());
    std::sort(list.begin(), list.end());
    return list;
}

void write_log(std::ostream& out, double probability) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6f", probability > 0.0 ? std::log10(probability) : -99.0);
    out << text;
}

}  // namespace

NgramCounts::NgramCounts(std::size_t max_pairs_and_triples)
    : cap_(std::max<std::size_t>(max_pairs_and_triples, 16)) {}

void NgramCounts::count_pair(std::uint64_t key) { ++pairs_[key]; }

void NgramCounts::count_triple(std::uint64_t key) {
    ++triples_[key];
    if (distinct() > cap_) prune();
}

void NgramCounts::prune() {
    // Raise the bar until a quarter of the room is free: a pair is always seen at least as often as the
    // triples it starts, so no triple outlives its context.
    const std::size_t target = cap_ - cap_ / 4;
    while (distinct() > target) {
        ++pruned_at_most_;
        std::erase_if(pairs_, [this](const auto& entry) { return entry.second <= pruned_at_most_; });
        std::erase_if(triples_, [this](const auto& entry) { return entry.second <= pruned_at_most_; });
    }
}

void NgramCounts::add_sentence(const std::vector<std::uint32_t>& words,
                               const std::vector<bool>& break_before) {
    if (words.empty()) return;
    if (words_.size() < max_words) words_.resize(std::max<std::size_t>(words_.size(), 2));
    std::uint32_t older = none;
    std::uint32_t last = sentence_start;
    for (std::size_t i = 0; i <= words.size(); ++i) {
        const std::uint32_t word = i < words.size() ? words[i] : sentence_end;
        if (word >= max_words || word == sentence_start) continue;
        if (i < break_before.size() && break_before[i]) older = last = none;
        if (word >= words_.size()) words_.resize(word + 1);
        ++words_[word];
        ++tokens_;
        if (last != none) count_pair(pair_key(last, word));
        if (older != none) count_triple(pair_key(pair_key(older, last), word));
        older = last;
        last = word;
    }
}

NgramCounts::Written NgramCounts::write_arpa(std::ostream& out, const std::vector<std::string>& names,
                                             double discount,
                                             const std::function<double(std::uint32_t)>& base) const {
    Written written;
    std::uint64_t total = 0;
    for (std::size_t word = 0; word < words_.size(); ++word) {
        if (word != sentence_start) total += words_[word];
    }
    if (total == 0) return written;
    std::vector<double> unigrams(words_.size(), 0.0);
    for (std::size_t word = 0; word < words_.size(); ++word) {
        if (word == sentence_start || words_[word] == 0) continue;
        const double shared = base ? base(static_cast<std::uint32_t>(word)) : 0.0;
        unigrams[word] =
            shared > 0.0 ? shared : static_cast<double>(words_[word]) / static_cast<double>(total);
    }
    const auto unigram = [&](std::uint64_t word) { return word < unigrams.size() ? unigrams[word] : 0.0; };

    // Pairs: grouped by their first word, each group's counts give up `discount` apiece to the words'
    // own distribution, and that share is the first word's back-off weight.
    const auto pairs = sorted(pairs_);
    std::vector<double> pair_backoff(words_.size(), 0.0);
    std::vector<double> pair_probability(pairs.size());
    for (std::size_t begin = 0; begin < pairs.size();) {
        const std::uint64_t first = pairs[begin].first >> word_bits;
        std::size_t end = begin;
        double count = 0.0;
        for (; end < pairs.size() && (pairs[end].first >> word_bits) == first; ++end)
            count += pairs[end].second;
        const double alpha = discount * static_cast<double>(end - begin) / count;
        pair_backoff[first] = alpha;
        for (std::size_t i = begin; i < end; ++i) {
            pair_probability[i] =
                (pairs[i].second - discount) / count + alpha * unigram(pairs[i].first & word_mask);
        }
        begin = end;
    }
    const auto bigram = [&](std::uint64_t first, std::uint64_t second) {
        const std::uint64_t key = pair_key(first, second);
        const auto found =
            std::lower_bound(pairs.begin(), pairs.end(), std::make_pair(key, std::uint32_t{0}));
        if (found != pairs.end() && found->first == key)
            return pair_probability[static_cast<std::size_t>(found - pairs.begin())];
        const double alpha =
            first < pair_backoff.size() && pair_backoff[first] > 0.0 ? pair_backoff[first] : 1.0;
        return alpha * unigram(second);
    };
    const auto has_pair = [&](std::uint64_t key) {
        return std::binary_search(pairs.begin(), pairs.end(), std::make_pair(key, std::uint32_t{0}),
                                  [](const auto& a, const auto& b) { return a.first < b.first; });
    };

    // Triples the same way over their first two words; a triple whose first pair was dropped has no
    // context to be listed under and goes too.
    auto triples = sorted(triples_);
    std::erase_if(triples, [&](const auto& entry) { return !has_pair(entry.first >> word_bits); });
    std::vector<std::pair<std::uint64_t, double>> triple_backoff;  // by first pair, ascending
    std::vector<double> triple_probability(triples.size());
    for (std::size_t begin = 0; begin < triples.size();) {
        const std::uint64_t context = triples[begin].first >> word_bits;
        std::size_t end = begin;
        double count = 0.0;
        for (; end < triples.size() && (triples[end].first >> word_bits) == context; ++end)
            count += triples[end].second;
        const double alpha = discount * static_cast<double>(end - begin) / count;
        triple_backoff.emplace_back(context, alpha);
        for (std::size_t i = begin; i < end; ++i) {
            triple_probability[i] = (triples[i].second - discount) / count +
                                    alpha * bigram(context & word_mask, triples[i].first & word_mask);
        }
        begin = end;
    }

    for (std::size_t word = 0; word < words_.size(); ++word) {
        if (word == sentence_start || words_[word] > 0) ++written.words;
    }
    written.pairs = pairs.size();
    written.triples = triples.size();
    // The engine's reader wants no empty order: a text too short for a pair is a model of words alone.
    out << "\\data\\\nngram 1=" << written.words;
    if (written.pairs > 0) out << "\nngram 2=" << written.pairs;
    if (written.triples > 0) out << "\nngram 3=" << written.triples;
    out << "\n\n\\1-grams:\n";
    for (std::size_t word = 0; word < words_.size(); ++word) {
        if (word != sentence_start && words_[word] == 0) continue;
        write_log(out, word == sentence_start ? 0.0 : unigram(word));
        out << ' ' << names.at(word);
        if (pair_backoff[word] > 0.0) {
            out << ' ';
            write_log(out, pair_backoff[word]);
        }
        out << '\n';
    }
    if (written.pairs > 0) out << "\n\\2-grams:\n";
    auto next_context = triple_backoff.begin();
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        write_log(out, pair_probability[i]);
        out << ' ' << names.at(pairs[i].first >> word_bits) << ' ' << names.at(pairs[i].first & word_mask);
        while (next_context != triple_backoff.end() && next_context->first < pairs[i].first) ++next_context;
        if (next_context != triple_backoff.end() && next_context->first == pairs[i].first) {
            out << ' ';
            write_log(out, next_context->second);
        }
        out << '\n';
    }
    if (written.triples > 0) out << "\n\\3-grams:\n";
    for (std::size_t i = 0; i < triples.size(); ++i) {
        write_log(out, triple_probability[i]);
        const std::uint64_t key = triples[i].first;
        out << ' ' << names.at(key >> (2 * word_bits)) << ' ' << names.at((key >> word_bits) & word_mask)
            << ' ' << names.at(key & word_mask) << '\n';
    }
    out << "\n\\end\\\n";
    return written;
}

}  // namespace server
