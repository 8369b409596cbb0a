#include "server/recognition/word_list.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

namespace server {
namespace {

constexpr std::size_t most_bytes = 1 << 20;

bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

// Words separated by single spaces, whatever ran between them.
std::vector<std::string> words_of(std::string_view text) {
    std::vector<std::string> words;
    std::istringstream in{std::string(text)};
    for (std::string word; in >> word;) words.push_back(word);
    return words;
}

std::string shown(char c) {
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f) {
        char code[8];
        std::snprintf(code, sizeof code, "\\x%02x", static_cast<unsigned char>(c));
        return code;
    }
    return std::string(1, c);
}

// Why `written` can't be an entry, or nothing when it can.
std::optional<std::string> refusal_of_written(std::string_view written) {
    bool letter = false;
    for (const char c : written) {
        if (is_letter(c)) {
            letter = true;
        } else if (!is_digit(c) && c != ' ' && c != '\t' && c != '-' && c != '\'' && c != '.' && c != '&' &&
                   c != '+') {
            return "the character '" + shown(c) + "' (an entry holds letters, digits, spaces and - ' . & +)";
        }
    }
    if (!letter) return "no letters";
    return std::nullopt;
}

std::optional<std::string> refusal_of_said(const std::vector<std::string>& said) {
    if (said.empty()) return "nothing after \"=\"";
    for (const std::string& word : said)
        for (const char c : word)
            if (!is_letter(c) && c != '\'')
                return "the said word \"" + word + "\" (say it in words of letters)";
    return std::nullopt;
}

std::string lower(std::string word) {
    for (char& c : word)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return word;
}

std::string joined(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& word : words) text += (text.empty() ? "" : " ") + word;
    return text;
}

}  // namespace

WordList parse_word_list(std::string_view text, std::string_view file) {
    WordList list;
    std::map<std::string, std::size_t> seen;
    std::size_t number = 0;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        std::string_view line = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        ++number;
        for (std::size_t at = 0; at < line.size(); ++at) {
            if (line[at] == '#' && (at == 0 || line[at - 1] == ' ' || line[at - 1] == '\t')) {
                line = line.substr(0, at);
                break;
            }
        }
        line = trimmed(line);
        if (line.empty()) continue;
        const auto skip = [&](const std::string& reason) {
            list.problems.push_back(std::string(file) + ":" + std::to_string(number) + ": " + reason +
                                    "; skipped");
        };
        const std::size_t equals = line.find('=');
        ListedWord word;
        word.line = number;
        const std::string_view written = trimmed(line.substr(0, equals));
        if (const auto refusal = refusal_of_written(written)) {
            skip(*refusal);
            continue;
        }
        word.written = joined(words_of(written));
        if (equals != std::string_view::npos) {
            for (const std::string& said : words_of(line.substr(equals + 1)))
                word.said.push_back(lower(said));
            if (const auto refusal = refusal_of_said(word.said)) {
                skip(*refusal);
                continue;
            }
        }
        if (const auto [first, added] = seen.emplace(word.written, number); !added) {
            skip("\"" + word.written + "\" is listed already on line " + std::to_string(first->second));
            continue;
        }
        list.words.push_back(std::move(word));
    }
    return list;
}

std::optional<std::string> read_word_list_file(const std::string& path, std::string& failure, bool& absent) {
    absent = false;
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) {
        // A data folder that is a file (XDG_DATA_HOME=/dev/null/...) holds no list either.
        absent = errno == ENOENT || errno == ENOTDIR;
        failure = "cannot read the word list " + path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    if (!S_ISREG(status.st_mode)) {
        failure = "cannot read the word list " + path + ": not a regular file";
        return std::nullopt;
    }
    if (static_cast<std::size_t>(status.st_size) > most_bytes) {
        failure = "cannot read the word list " + path + ": over 1 MiB";
        return std::nullopt;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        failure = "cannot read the word list " + path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        failure = "cannot read the word list " + path + ": read failed";
        return std::nullopt;
    }
    return text;
}

}  // namespace server
