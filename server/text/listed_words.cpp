#include "server/text/listed_words.h"

#include <algorithm>

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

}  // namespace server
