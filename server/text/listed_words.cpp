#include "server/text/listed_words.h"

#include <algorithm>
#include <sstream>

namespace server {

std::string listed_word_token(std::string_view written) {
    std::string token = "{";
    token += written;
    std::replace(token.begin(), token.end(), ' ', '_');
    return token + "}";
}

std::optional<std::string> listed_word_written(std::string_view word) {
    if (word.size() < 3 || word.front() != '{' || word.back() != '}') return std::nullopt;
    std::string written(word.substr(1, word.size() - 2));
    std::replace(written.begin(), written.end(), '_', ' ');
    return written;
}

std::string plain_words(std::string_view words) {
    std::string plain;
    while (!words.empty()) {
        const std::size_t end = std::min(words.find(' '), words.size());
        const std::string_view word = words.substr(0, end);
        if (const auto written = listed_word_written(word))
            plain += *written;
        else
            plain += word;
        if (end < words.size()) plain += ' ';
        words.remove_prefix(std::min(end + 1, words.size()));
    }
    return plain;
}

namespace {

std::vector<std::string> lower_words(std::string_view text) {
    std::vector<std::string> words;
    std::istringstream in{std::string(text)};
    for (std::string word; in >> word;) {
        for (char& c : word)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        words.push_back(std::move(word));
    }
    return words;
}

}  // namespace

ListedPhrases::ListedPhrases(const std::vector<ListedPhrase>& entries) {
    for (const ListedPhrase& entry : entries) {
        for (const std::string& run : {entry.written, entry.said}) {
            std::vector<std::string> words = lower_words(run);
            if (words.empty()) continue;
            by_first_[words.front()].emplace_back(std::move(words), listed_word_token(entry.written));
        }
    }
    for (auto& [first, entries] : by_first_)
        std::stable_sort(entries.begin(), entries.end(),
                         [](const auto& a, const auto& b) { return a.first.size() > b.first.size(); });
}

std::string ListedPhrases::mark(std::string_view words) const {
    if (by_first_.empty()) return std::string(words);
    std::vector<std::string> said;
    std::istringstream in{std::string(words)};
    for (std::string word; in >> word;) said.push_back(std::move(word));
    const std::vector<std::string> lower = lower_words(words);
    std::string marked;
    for (std::size_t at = 0; at < said.size();) {
        std::size_t taken = 0;
        if (const auto found = by_first_.find(lower[at]); found != by_first_.end()) {
            for (const auto& [entry, token] : found->second) {
                if (at + entry.size() > said.size()) continue;
                if (!std::equal(entry.begin(), entry.end(), lower.begin() + static_cast<std::ptrdiff_t>(at)))
                    continue;
                if (!marked.empty()) marked += ' ';
                marked += token;
                taken = entry.size();
                break;
            }
        }
        if (taken == 0) {
            if (!marked.empty()) marked += ' ';
            marked += said[at];
            taken = 1;
        }
        at += taken;
    }
    return marked;
}

}  // namespace server
