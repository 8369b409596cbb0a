#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace server {

// Turns a person's writing into the words the recogniser hears, read as it comes (a block at a time, any
// size): lower case; a number of up to six digits spelt out ("1999" -> "nineteen ninety nine", "42" ->
// "forty two"), longer ones left as they are (and so unknown to the dictionary); apostrophes kept inside a
// word ("don't") and dropped around it; hyphens, slashes and every other mark between words. Punctuation is
// not turned into the spoken commands ("comma", "period"): the writing says where the person would pause,
// not what they would say, and the commands keep their own weight in the search (command_words.h).
// A sentence ends at '.', '?' or '!' followed by a space, a line end or the end of the text (not inside
// "e.g.", "J. Smith" or "3.5"), at a blank line, and at the end of a Markdown heading. Bytes that are not
// UTF-8 become part of their word, which then matches no dictionary word.
class TextWords {
public:
    struct Sink {
        std::function<void(std::string_view word)> word;
        std::function<void()> sentence_end;
    };
    explicit TextWords(Sink sink);

    // Feeds the next bytes of the text.
    void feed(std::string_view bytes);
    // Ends the text (its last sentence); the object may then read another one.
    void finish();

    // Bytes of the text so far that were not UTF-8, and NUL bytes (a sign of a binary file).
    std::uint64_t invalid_bytes() const { return invalid_; }
    std::uint64_t nul_bytes() const { return nuls_; }

private:
    void end_word();
    void end_sentence();
    void on_byte(unsigned char byte);

    Sink sink_;
    std::string word_;
    bool sentence_open_ = false;
    bool pending_end_ = false;      // a '.', '?' or '!' was last; the next byte says whether it ends one
    bool line_is_heading_ = false;  // this line began with '#'
    bool at_line_start_ = true;
    bool line_blank_ = true;
    int newlines_ = 0;   // line ends since the last non-space byte
    int utf8_left_ = 0;  // continuation bytes still expected
    std::string utf8_;   // the bytes of the character being read
    std::uint64_t invalid_ = 0;
    std::uint64_t nuls_ = 0;
};

// "forty two" for 42; empty for numbers over 999999 or text that is not all digits.
std::string spelt_number(std::string_view digits);

}  // namespace server
