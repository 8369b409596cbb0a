#include "server/text/dictation_formatter.h"

#include <array>
#include <algorithm>
#include <vector>

#include "server/text/listed_words.h"

namespace server {
namespace {

// How a mark sits among the words around it.
enum class Placement {
    after_word,    // ", : ;": against the word before, a space after
    sentence_end,  // ". ? !": as after_word, and the next word starts a sentence
    joining,       // "-": against both neighbours
    standalone,    // " - ": a space either side
    opening,       // '"' "(": a space before, against the word after
    closing,       // '"' ")": against the word before, a space after
    line_break,    // "\n": no space either side
    paragraph,     // "\n\n": as line_break, and the next word starts a sentence
};

struct Command {
    std::array<std::string_view, 2> said;  // one or two words; an empty second means one
    std::string_view mark;
    Placement placement;
};

// Two-word phrases come first, so that "semi colon" is one mark and not "semi" and a colon.
constexpr std::array commands{
    Command{{"full", "stop"}, ".", Placement::sentence_end},
    Command{{"question", "mark"}, "?", Placement::sentence_end},
    Command{{"exclamation", "mark"}, "!", Placement::sentence_end},
    Command{{"exclamation", "point"}, "!", Placement::sentence_end},
    Command{{"semi", "colon"}, ";", Placement::after_word},
    Command{{"open", "quote"}, "\"", Placement::opening},
    Command{{"close", "quote"}, "\"", Placement::closing},
    Command{{"open", "paren"}, "(", Placement::opening},
    Command{{"close", "paren"}, ")", Placement::closing},
    Command{{"open", "parenthesis"}, "(", Placement::opening},
    Command{{"close", "parenthesis"}, ")", Placement::closing},
    Command{{"open", "bracket"}, "(", Placement::opening},
    Command{{"close", "bracket"}, ")", Placement::closing},
    Command{{"new", "line"}, "\n", Placement::line_break},
    Command{{"new", "paragraph"}, "\n\n", Placement::paragraph},
    Command{{"comma", ""}, ",", Placement::after_word},
    Command{{"period", ""}, ".", Placement::sentence_end},
    Command{{"colon", ""}, ":", Placement::after_word},
    Command{{"semicolon", ""}, ";", Placement::after_word},
    Command{{"hyphen", ""}, "-", Placement::joining},
    Command{{"dash", ""}, "-", Placement::standalone},
};

constexpr std::string_view literal_word = "literal";

std::vector<std::string_view> split_words(std::string_view text) {
    std::vector<std::string_view> words;
    while (!text.empty()) {
        const auto start = text.find_first_not_of(' ');
        if (start == std::string_view::npos) break;
        text.remove_prefix(start);
        const auto end = std::min(text.find(' '), text.size());
        words.push_back(text.substr(0, end));
        text.remove_prefix(end);
    }
    return words;
}

std::size_t length(const Command& command) { return command.said[1].empty() ? 1 : 2; }

// The command said at words[at], if any.
const Command* command_at(const std::vector<std::string_view>& words, std::size_t at) {
    for (const Command& command : commands) {
        const std::size_t n = length(command);
        if (at + n > words.size()) continue;
        if (words[at] == command.said[0] && (n == 1 || words[at + 1] == command.said[1])) return &command;
    }
    return nullptr;
}

bool is_first_person(std::string_view word) { return word == "i" || word.starts_with("i'"); }

// Builds the text one word or mark at a time; the space before a word is decided only when the word comes,
// so that nothing trails.
class Writer {
public:
    void word(std::string_view word) {
        if (space_before_next_ && !text_.empty()) text_ += ' ';
        const std::size_t first = text_.size();
        text_ += word;
        if ((capital_next_ || is_first_person(word)) && text_[first] >= 'a' && text_[first] <= 'z')
            text_[first] = static_cast<char>(text_[first] - 'a' + 'A');
        capital_next_ = false;
        space_before_next_ = true;
    }

    // An entry of the user's word list, written as listed even where a sentence starts: "n8n", "iOS".
    void listed(std::string_view written) {
        if (space_before_next_ && !text_.empty()) text_ += ' ';
        text_ += written;
        capital_next_ = false;
        space_before_next_ = true;
    }

    void mark(const Command& command) {
        switch (command.placement) {
            case Placement::after_word:
            case Placement::sentence_end:
            case Placement::closing:
                text_ += command.mark;
                space_before_next_ = true;
                break;
            case Placement::joining:
                text_ += command.mark;
                space_before_next_ = false;
                break;
            case Placement::standalone:
                if (!text_.empty() && text_.back() != '\n') text_ += ' ';
                text_ += command.mark;
                space_before_next_ = true;
                break;
            case Placement::opening:
                if (space_before_next_ && !text_.empty()) text_ += ' ';
                text_ += command.mark;
                space_before_next_ = false;
                break;
            case Placement::line_break:
            case Placement::paragraph:
                text_ += command.mark;
                space_before_next_ = false;
                break;
        }
        if (command.placement == Placement::sentence_end || command.placement == Placement::paragraph)
            capital_next_ = true;
    }

    std::string take() { return std::move(text_); }

private:
    std::string text_;
    bool space_before_next_ = false;
    bool capital_next_ = true;  // the take's first word
};

}  // namespace

std::vector<std::pair<std::string_view, std::string_view>> spoken_commands() {
    std::vector<std::pair<std::string_view, std::string_view>> said;
    for (const Command& command : commands) said.emplace_back(command.said[0], command.said[1]);
    return said;
}

std::string format_dictation(std::string_view spoken) {
    const std::vector<std::string_view> words = split_words(spoken);
    Writer out;
    for (std::size_t at = 0; at < words.size();) {
        if (words[at] == literal_word) {
            if (const Command* said = command_at(words, at + 1)) {
                for (std::size_t i = 0; i < length(*said); ++i) out.word(words[at + 1 + i]);
                at += 1 + length(*said);
                continue;
            }
        }
        if (const auto written = listed_word_written(words[at])) {
            out.listed(*written);
            ++at;
            continue;
        }
        if (const Command* command = command_at(words, at)) {
            out.mark(*command);
            at += length(*command);
            continue;
        }
        out.word(words[at]);
        ++at;
    }
    return out.take();
}

}  // namespace server
