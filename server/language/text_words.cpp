#include "server/language/text_words.h"

#include <array>
#include <utility>

namespace server {
namespace {

constexpr std::size_t max_word_bytes = 64;  // longer is no word anyone says; it stays one unknown token

constexpr std::array<const char*, 20> small = {"zero",    "one",     "two",       "three",    "four",
                                               "five",    "six",     "seven",     "eight",    "nine",
                                               "ten",     "eleven",  "twelve",    "thirteen", "fourteen",
                                               "fifteen", "sixteen", "seventeen", "eighteen", "nineteen"};
constexpr std::array<const char*, 10> tens = {"",      "",      "twenty",  "thirty", "forty",
                                              "fifty", "sixty", "seventy", "eighty", "ninety"};

void under_hundred(unsigned n, std::string& out) {
    if (!out.empty()) out += ' ';
    if (n < 20) {
        out += small[n];
        return;
    }
    out += tens[n / 10];
    if (n % 10 != 0) (out += ' ') += small[n % 10];
}

void under_thousand(unsigned n, std::string& out) {
    if (n >= 100) {
        under_hundred(n / 100, out);
        out += " hundred";
        n %= 100;
        if (n == 0) return;
    }
    under_hundred(n, out);
}

bool is_space(unsigned char byte) {
    return byte == ' ' || byte == '\t' || byte == '\r' || byte == '\f' || byte == '\v';
}

// What may close a sentence after its '.': quotes, brackets, emphasis.
bool closes(unsigned char byte) {
    return byte == '"' || byte == '\'' || byte == ')' || byte == ']' || byte == '}' || byte == '*' ||
           byte == '_';
}

}  // namespace

std::string spelt_number(std::string_view digits) {
    if (digits.empty() || digits.size() > 6 ||
        digits.find_first_not_of("0123456789") != std::string_view::npos)
        return "";
    std::string out;
    if (digits.size() > 1 && digits[0] == '0') {  // "007", a code: said digit by digit
        for (char digit : digits) under_hundred(static_cast<unsigned>(digit - '0'), out);
        return out;
    }
    unsigned n = 0;
    for (char digit : digits) n = n * 10 + static_cast<unsigned>(digit - '0');
    // Years are said in pairs: "nineteen ninety nine", "twenty twenty", "nineteen hundred".
    if (digits.size() == 4 && n >= 1100 && n <= 2099 && !(n >= 2000 && n <= 2009)) {
        under_hundred(n / 100, out);
        if (n % 100 == 0) {
            out += " hundred";
        } else if (n % 100 < 10) {
            out += " oh";
            under_hundred(n % 100, out);
        } else {
            under_hundred(n % 100, out);
        }
        return out;
    }
    if (n >= 1000) {
        under_thousand(n / 1000, out);
        out += " thousand";
        n %= 1000;
        if (n == 0) return out;
    }
    under_thousand(n, out);
    return out;
}

TextWords::TextWords(Sink sink) : sink_(std::move(sink)) {}

void TextWords::end_word() {
    std::string_view word = word_;
    while (!word.empty() && word.front() == '\'') word.remove_prefix(1);
    while (!word.empty() && word.back() == '\'') word.remove_suffix(1);
    if (!word.empty()) {
        sentence_open_ = true;
        if (const std::string spelt = spelt_number(word); !spelt.empty()) {
            std::size_t start = 0;
            for (std::size_t space = spelt.find(' ');; space = spelt.find(' ', start)) {
                sink_.word(std::string_view(spelt).substr(start, space - start));
                if (space == std::string::npos) break;
                start = space + 1;
            }
        } else {
            sink_.word(word);
        }
    }
    word_.clear();
}

void TextWords::end_sentence() {
    end_word();
    if (sentence_open_) sink_.sentence_end();
    sentence_open_ = false;
}

void TextWords::feed(std::string_view bytes) {
    for (char byte : bytes) on_byte(static_cast<unsigned char>(byte));
}

void TextWords::finish() {
    if (utf8_left_ > 0) invalid_ += utf8_.size();
    utf8_left_ = 0;
    utf8_.clear();
    end_sentence();
    pending_end_ = false;
    line_is_heading_ = false;
    at_line_start_ = true;
    line_blank_ = true;
}

void TextWords::on_byte(unsigned char byte) {
    if (utf8_left_ > 0) {
        if ((byte & 0xC0) == 0x80) {
            utf8_ += static_cast<char>(byte);
            if (--utf8_left_ > 0) return;
            // A whole character: curly apostrophes are apostrophes, dashes, quotes and ellipses are marks
            // between words, anything else is a letter no dictionary word holds.
            if (utf8_ == "\u2019" || utf8_ == "\u2018") {
                word_ += '\'';
            } else if (utf8_ == "\u2014" || utf8_ == "\u2013" || utf8_ == "\u201c" || utf8_ == "\u201d" ||
                       utf8_ == "\u2026" || utf8_ == "\u00a0") {
                end_word();
            } else if (word_.size() < max_word_bytes) {
                word_ += utf8_;
            }
            utf8_.clear();
            return;
        }
        invalid_ += utf8_.size();
        utf8_left_ = 0;
        utf8_.clear();
        word_ += '\x01';
    }
    if (pending_end_) {
        pending_end_ = false;
        if (is_space(byte) || byte == '\n' || closes(byte)) end_sentence();
    }
    if (byte >= 0x80) {
        line_blank_ = false;
        at_line_start_ = false;
        if (byte >= 0xC2 && byte <= 0xF4) {
            utf8_left_ = byte >= 0xF0 ? 3 : byte >= 0xE0 ? 2 : 1;
            utf8_.assign(1, static_cast<char>(byte));
        } else {
            ++invalid_;
            if (word_.size() < max_word_bytes) word_ += '\x01';
        }
        return;
    }
    if (byte == '\n') {
        end_word();
        if (line_is_heading_ || line_blank_) end_sentence();
        line_is_heading_ = false;
        at_line_start_ = true;
        line_blank_ = true;
        return;
    }
    if (is_space(byte)) {
        end_word();
        return;
    }
    if (at_line_start_ && byte == '#') line_is_heading_ = true;
    at_line_start_ = false;
    line_blank_ = false;
    if (byte == 0) {
        ++nuls_;
        end_word();
    } else if (byte >= 'A' && byte <= 'Z') {
        if (word_.size() < max_word_bytes) word_ += static_cast<char>(byte - 'A' + 'a');
    } else if ((byte >= 'a' && byte <= 'z') || (byte >= '0' && byte <= '9') || byte == '\'') {
        if (word_.size() < max_word_bytes) word_ += static_cast<char>(byte);
    } else if (byte == '.' || byte == '?' || byte == '!') {
        // A single letter before a '.' is an initial or an abbreviation ("J. Smith", "e.g."), not an end.
        pending_end_ = byte != '.' || word_.size() != 1;
        end_word();
    } else {
        end_word();
    }
}

}  // namespace server
