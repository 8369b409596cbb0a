#include "server/recognition/word_sounds.h"

extern "C" {
#include <flite/cst_lexicon.h>
#include <flite/cst_val.h>
// The synthesiser's US English lexicon: exported by libflite_cmulex, declared in no installed header.
cst_lexicon* cmu_lex_init(void);
}

#include <algorithm>
#include <array>
#include <fstream>
#include <mutex>
#include <set>
#include <stdexcept>

#include "server/text/listed_words.h"

namespace server {
namespace {

constexpr std::size_t most_variants = 4;

bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_capital(char c) { return c >= 'A' && c <= 'Z'; }

std::string lower(std::string_view word) {
    std::string low(word);
    for (char& c : low)
        if (is_capital(c)) c = static_cast<char>(c - 'A' + 'a');
    return low;
}

// The parts of an entry as written between its spaces ("New York Times": "New", "York", "Times").
std::vector<std::string_view> spaced_parts(std::string_view written) {
    std::vector<std::string_view> parts;
    for (std::size_t from = 0; from < written.size();) {
        const std::size_t end = std::min(written.find(' ', from), written.size());
        parts.push_back(written.substr(from, end - from));
        from = end + 1;
    }
    return parts;
}

// Letters as they are spelled out, in the acoustic model's phones.
constexpr std::array<std::string_view, 26> letter_names{"EY",
                                                        "B IY",
                                                        "S IY",
                                                        "D IY",
                                                        "IY",
                                                        "EH F",
                                                        "JH IY",
                                                        "EY CH",
                                                        "AY",
                                                        "JH EY",
                                                        "K EY",
                                                        "EH L",
                                                        "EH M",
                                                        "EH N",
                                                        "OW",
                                                        "P IY",
                                                        "K Y UW",
                                                        "AA R",
                                                        "EH S",
                                                        "T IY",
                                                        "Y UW",
                                                        "V IY",
                                                        "D AH B AH L Y UW",
                                                        "EH K S",
                                                        "W AY",
                                                        "Z IY"};

constexpr std::array<std::string_view, 20> small_numbers{
    "zero",     "one",     "two",     "three",     "four",     "five",    "six",
    "seven",    "eight",   "nine",    "ten",       "eleven",   "twelve",  "thirteen",
    "fourteen", "fifteen", "sixteen", "seventeen", "eighteen", "nineteen"};
constexpr std::array<std::string_view, 10> tens{"",      "",      "twenty",  "thirty", "forty",
                                                "fifty", "sixty", "seventy", "eighty", "ninety"};

void say_below_hundred(unsigned n, std::vector<std::string>& said) {
    if (n < 20) {
        said.emplace_back(small_numbers[n]);
        return;
    }
    said.emplace_back(tens[n / 10]);
    if (n % 10 != 0) said.emplace_back(small_numbers[n % 10]);
}

// The words a run of digits is said as.
std::vector<std::string> said_digits(std::string_view digits) {
    std::vector<std::string> said;
    if (digits.size() > 4 || (digits.size() > 1 && digits.front() == '0')) {
        for (const char d : digits) said.emplace_back(small_numbers[static_cast<unsigned>(d - '0')]);
        return said;
    }
    unsigned n = 0;
    for (const char d : digits) n = n * 10 + static_cast<unsigned>(d - '0');
    if (digits.size() == 4 && n % 1000 != 0 && ((n / 100) % 10 != 0 || n % 100 >= 10)) {
        // Years and model numbers: "2026" twenty twenty six, "1905" nineteen oh five (but "2005" two thousand
        // five).
        say_below_hundred(n / 100, said);
        if (n % 100 < 10) said.emplace_back("oh");
        say_below_hundred(n % 100, said);
        return said;
    }
    if (n >= 1000) {
        say_below_hundred(n / 1000, said);
        said.emplace_back("thousand");
        n %= 1000;
        if (n == 0) return said;
    }
    if (n >= 100) {
        said.emplace_back(small_numbers[n / 100]);
        said.emplace_back("hundred");
        n %= 100;
        if (n == 0) return said;
    }
    say_below_hundred(n, said);
    return said;
}

// A word's parts: runs of letters or of digits, a new run where a capital follows a small letter.
std::vector<std::string_view> runs_of(std::string_view part) {
    std::vector<std::string_view> runs;
    std::size_t start = 0;
    for (std::size_t i = 1; i <= part.size(); ++i) {
        const bool boundary = i == part.size() || is_digit(part[i]) != is_digit(part[i - 1]) ||
                              (is_capital(part[i]) && part[i - 1] >= 'a' && part[i - 1] <= 'z');
        if (boundary) {
            runs.push_back(part.substr(start, i - start));
            start = i;
        }
    }
    return runs;
}

// The pieces a written word is said in, split at - . & + ("Node.js": "Node" "dot" "js").
std::vector<std::string> pieces_of(std::string_view word) {
    std::vector<std::string> pieces;
    std::string current;
    for (std::size_t i = 0; i < word.size(); ++i) {
        const char c = word[i];
        if (c == '-' || c == '.' || c == '&' || c == '+') {
            if (!current.empty()) pieces.push_back(std::move(current));
            current.clear();
            const bool inside = i + 1 < word.size() && i > 0;
            if (c == '.' && inside) pieces.emplace_back("dot");
            if (c == '&') pieces.emplace_back("and");
            if (c == '+') pieces.emplace_back("plus");
        } else if (c != '\'') {
            current += c;
        }
    }
    if (!current.empty()) pieces.push_back(std::move(current));
    return pieces;
}

bool has_vowel(std::string_view run) {
    return std::any_of(run.begin(), run.end(), [](char c) {
        return std::string_view("aeiouyAEIOUY").find(c) != std::string_view::npos;
    });
}

// A sequence of sounds, each with its variants, joined into at most `most_variants` pronunciations.
// Also the dictionary words it is said in, when it is said in them alone.
class Saying {
public:
    void add(std::vector<std::string> variants, std::string_view word) {
        parts_.push_back(std::move(variants));
        if (!said_.empty()) said_ += ' ';
        said_ += word;
    }
    void add_guess(std::vector<std::string> variants) {
        parts_.push_back(std::move(variants));
        in_words_ = false;
    }
    std::string said() const { return in_words_ ? said_ : std::string(); }
    std::vector<std::string> joined() const {
        std::size_t count = 1;
        for (const auto& variants : parts_) count = std::max(count, variants.size());
        std::vector<std::string> out;
        for (std::size_t k = 0; k < std::min(count, most_variants); ++k) {
            std::string phones;
            for (const auto& variants : parts_) {
                if (!phones.empty()) phones += ' ';
                phones += variants[std::min(k, variants.size() - 1)];
            }
            if (std::find(out.begin(), out.end(), phones) == out.end()) out.push_back(phones);
        }
        return out;
    }

private:
    std::vector<std::vector<std::string>> parts_;
    std::string said_;
    bool in_words_ = true;
};

const std::vector<std::string>* known(const Pronunciations& dictionary, std::string_view word) {
    const auto found = dictionary.find(lower(word));
    return found == dictionary.end() ? nullptr : &found->second;
}

void spell(std::string_view run, Saying& saying) {
    for (const char c : lower(run))
        saying.add({std::string(letter_names[static_cast<unsigned>(c - 'a')])}, std::string(1, c));
}

// Says one run of letters or digits; false when it can't.
bool say_run(std::string_view run, const Pronunciations& dictionary, const LetterToSound& guess,
             Saying& saying) {
    if (is_digit(run.front())) {
        for (const std::string& number : said_digits(run)) {
            const auto* phones = known(dictionary, number);
            if (phones == nullptr) return false;
            saying.add(*phones, number);
        }
        return true;
    }
    if (const auto* phones = known(dictionary, run)) {
        saying.add(*phones, lower(run));
        return true;
    }
    const bool capitals = run.size() > 1 && std::all_of(run.begin(), run.end(), is_capital);
    if (run.size() == 1 || capitals || !has_vowel(run)) {
        spell(run, saying);
        return true;
    }
    std::string spelling = lower(run);
    // The rules read a leading "dj" as a "y" ("Django", "Djokovic"); it is said as a "j".
    if (spelling.starts_with("dj")) spelling.erase(0, 1);
    const auto guessed = guess(spelling);
    if (!guessed || guessed->empty()) return false;
    std::vector<std::string> variants{*guessed};
    // The rules read whole words poorly where a word the dictionary knows ends or starts a new one
    // ("Supabase", "Postgres"): that reading is offered beside theirs.
    for (std::size_t cut = 2; cut + 2 <= run.size(); ++cut) {
        const std::string head = lower(run.substr(0, cut));
        const std::string tail = lower(run.substr(cut));
        const auto* head_known = head.size() >= 3 ? known(dictionary, head) : nullptr;
        const auto* tail_known = tail.size() >= 3 ? known(dictionary, tail) : nullptr;
        if (head_known == nullptr && tail_known == nullptr) continue;
        const auto head_sound = head_known != nullptr ? std::optional(head_known->front()) : guess(head);
        const auto tail_sound = tail_known != nullptr ? std::optional(tail_known->front()) : guess(tail);
        if (!head_sound || !tail_sound || head_sound->empty() || tail_sound->empty()) continue;
        const std::string joined = *head_sound + " " + *tail_sound;
        if (std::find(variants.begin(), variants.end(), joined) == variants.end()) variants.push_back(joined);
        if (variants.size() == 2) break;
    }
    saying.add_guess(std::move(variants));
    return true;
}

// Kept out of line: GCC 12 warns wrongly about overlapping copies where this message is built inline.
[[gnu::noinline]] std::string unsayable(std::string_view run) {
    return std::string("\"").append(run).append("\" can't be said (give \"= how it is said\")");
}

std::optional<Saying> sounds_of(const ListedWord& word, const Pronunciations& dictionary,
                                const LetterToSound& guess, std::string& why) {
    Saying saying;
    if (!word.said.empty()) {
        for (const std::string& said : word.said) {
            if (const auto* phones = known(dictionary, said)) {
                saying.add(*phones, said);
                continue;
            }
            std::string letters;
            std::copy_if(said.begin(), said.end(), std::back_inserter(letters), is_letter);
            const auto guessed = letters.empty() ? std::nullopt : guess(letters);
            if (!guessed || guessed->empty()) {
                why = "the said word \"" + said + "\" is not in the dictionary and can't be spelled out";
                return std::nullopt;
            }
            saying.add_guess({*guessed});
        }
        return saying;
    }
    for (const std::string_view part : spaced_parts(word.written)) {
        if (const auto* phones = known(dictionary, part)) {
            saying.add(*phones, lower(part));
            continue;
        }
        for (const std::string& piece : pieces_of(part)) {
            if (const auto* phones = known(dictionary, piece)) {
                saying.add(*phones, lower(piece));
                continue;
            }
            for (const std::string_view run : runs_of(piece)) {
                if (!say_run(run, dictionary, guess, saying)) {
                    why = unsayable(run);
                    return std::nullopt;
                }
            }
        }
    }
    return saying;
}

// The synthesiser's phones are the same US English set in lower case, vowels with their stress, plus a
// few the acoustic model folds into others.
std::optional<std::string> model_phone(std::string phone) {
    while (!phone.empty() && is_digit(phone.back())) phone.pop_back();
    if (phone == "pau" || phone.empty()) return std::string();
    if (phone == "ax") return std::string("AH");
    if (phone == "ix") return std::string("IH");
    if (phone == "axr") return std::string("ER");
    if (phone == "dx") return std::string("D");
    if (phone == "nx") return std::string("N");
    if (phone == "hv") return std::string("HH");
    if (phone == "el") return std::string("AH L");
    if (phone == "em") return std::string("AH M");
    if (phone == "en") return std::string("AH N");
    for (char& c : phone) c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    if (!is_model_phone(phone)) return std::nullopt;
    return phone;
}

}  // namespace

bool is_model_phone(std::string_view phone) {
    static const std::set<std::string, std::less<>> model_set{
        "AA", "AE", "AH", "AO", "AW", "AY", "B",  "CH", "D", "DH", "EH", "ER", "EY",
        "F",  "G",  "HH", "IH", "IY", "JH", "K",  "L",  "M", "N",  "NG", "OW", "OY",
        "P",  "R",  "S",  "SH", "T",  "TH", "UH", "UW", "V", "W",  "Y",  "Z",  "ZH"};
    return model_set.contains(phone);
}

Pronunciations read_pronunciations(const std::string& path, const std::vector<ListedWord>& words) {
    std::set<std::string, std::less<>> wanted{"dot", "and", "plus", "oh", "hundred", "thousand"};
    for (const auto number : small_numbers) wanted.emplace(number);
    for (const auto number : tens) wanted.emplace(number);
    for (const ListedWord& word : words) {
        for (const std::string& said : word.said) wanted.insert(said);
        for (const std::string_view part : spaced_parts(word.written)) {
            wanted.insert(lower(part));
            for (const std::string& piece : pieces_of(part)) {
                wanted.insert(lower(piece));
                for (const std::string_view run : runs_of(piece)) {
                    wanted.insert(lower(run));
                    for (std::size_t cut = 3; cut + 2 <= run.size(); ++cut)
                        wanted.insert(lower(run.substr(0, cut)));
                    for (std::size_t cut = 2; cut + 3 <= run.size(); ++cut)
                        wanted.insert(lower(run.substr(cut)));
                }
            }
        }
    }
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot read the dictionary " + path);
    Pronunciations found;
    for (std::string line; std::getline(in, line);) {
        const std::size_t space = line.find(' ');
        if (space == std::string::npos) continue;
        std::string_view word = std::string_view(line).substr(0, space);
        if (const auto paren = word.find('('); paren != std::string_view::npos) word = word.substr(0, paren);
        if (!wanted.contains(word)) continue;
        std::string phones = line.substr(space + 1);
        const auto first = phones.find_first_not_of(" \t");
        if (first == std::string::npos) continue;
        found[std::string(word)].push_back(phones.substr(first));
    }
    if (in.bad()) throw std::runtime_error("cannot read the dictionary " + path);
    return found;
}

LetterToSound synthesiser_letter_to_sound() {
    return [](std::string_view word) -> std::optional<std::string> {
        // The lexicon is built once and is read-only afterwards; lex_lookup itself keeps no state.
        static std::once_flag loaded;
        static cst_lexicon* lexicon = nullptr;
        std::call_once(loaded, [] { lexicon = cmu_lex_init(); });
        if (lexicon == nullptr) return std::nullopt;
        const std::string text(word);
        cst_val* phones = lex_lookup(lexicon, text.c_str(), nullptr, nullptr);
        std::string out;
        bool usable = true;
        for (const cst_val* at = phones; at != nullptr; at = val_cdr(at)) {
            const auto phone = model_phone(val_string(val_car(at)));
            if (!phone) usable = false;
            if (!phone || phone->empty()) continue;
            if (!out.empty()) out += ' ';
            out += *phone;
        }
        delete_val(phones);
        if (!usable || out.empty()) return std::nullopt;
        return out;
    };
}

SoundedWords sound_words(const std::vector<ListedWord>& words, const Pronunciations& dictionary,
                         const LetterToSound& guess, std::string_view file) {
    SoundedWords sounded;
    for (const ListedWord& word : words) {
        std::string why;
        const auto saying = sounds_of(word, dictionary, guess, why);
        if (!saying) {
            sounded.problems.push_back(std::string(file) + ":" + std::to_string(word.line) + ": " + why +
                                       "; skipped");
            continue;
        }
        sounded.words.push_back(WordSound{listed_word_token(word.written), saying->joined(), saying->said()});
    }
    return sounded;
}

}  // namespace server
