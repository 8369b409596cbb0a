#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace server {

// One usable line of the user's word list (words.txt): "Ansible", "New York Times", "SQLite = sequel light".
struct ListedWord {
    std::string written;            // as it should appear, single spaces between its words
    std::vector<std::string> said;  // the lower-case words after "=", empty when the line gives none
    std::size_t line = 0;           // from 1
};

struct WordList {
    std::vector<ListedWord> words;
    // One line each, "FILE:LINE: reason; skipped", for the lines that can't be used; the rest are in `words`.
    std::vector<std::string> problems;
};

// Reads the list's text. A line is an entry written as it should appear, optionally followed by
// "= how it is said" in ordinary words; "#" at a line's start or after a space starts a comment; blank
// lines are fine. An entry holds letters (at least one), digits, spaces and - ' . & + only; the said words
// letters and apostrophes only. A line that breaks these, or lists an entry again, is told in `problems`
// naming `file` and its line, and skipped. Pure.
WordList parse_word_list(std::string_view text, std::string_view file);

// The text of the list at `path`: a regular file of at most 1 MiB. Nothing, and `failure` set to one line
// naming the path and the reason, when it can't be read; `absent` tells a file that does not exist apart.
std::optional<std::string> read_word_list_file(const std::string& path, std::string& failure, bool& absent);

}  // namespace server
