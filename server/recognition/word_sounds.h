#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/recognition/word_list.h"

namespace server {

// An entry of the user's word list as the recogniser hears it: its token (see server/text/listed_words.h)
// and one or more pronunciations in the acoustic model's phones ("EH N EY T EH N" for "n8n").
struct WordSound {
    std::string token;
    std::vector<std::string> phones;  // the first is the main one; at most four
    // The dictionary words it is said in ("n eight n", "sequel light", "new york times"), when it is said in
    // them alone; empty when a part of it was guessed.
    std::string said;
};

// The dictionary's pronunciations of the words it knows, lower case, each with its variants in order.
using Pronunciations = std::map<std::string, std::vector<std::string>, std::less<>>;

// Reads, from the dictionary at `path`, the pronunciations of the words an entry of `words` might be
// made of (their lower-case parts, the words said for digits, "dot", "and", "plus"). Throws
// std::runtime_error naming the file when it can't be read.
Pronunciations read_pronunciations(const std::string& path, const std::vector<ListedWord>& words);

// Whether `phone` ("AH", "NG") is one of the acoustic model's phones, silence aside.
bool is_model_phone(std::string_view phone);

// A guess at the sounds of a word nobody wrote into a dictionary (lower case, letters only): phones in
// the acoustic model's set, or nothing.
using LetterToSound = std::function<std::optional<std::string>(std::string_view word)>;

// The letter-to-sound rules of the speech synthesiser's US English lexicon (libflite), its phones mapped
// onto the acoustic model's. Any thread once made; the lexicon is loaded on the first call.
LetterToSound synthesiser_letter_to_sound();

struct SoundedWords {
    std::vector<WordSound> words;
    std::vector<std::string> problems;  // "FILE:LINE: reason; skipped"
};

// How each entry is said. After "=", each said word as the dictionary has it, else as `guess` reads it.
// Without "=", the entry's own words: a word the dictionary knows as it is ("GitHub", "SQL"), else its
// parts: split at "-", ".", "&", "+" (said "dot", "and", "plus"), between letters and digits and where a
// capital follows a small letter ("PyTorch" is "Py" "Torch"). A part is the dictionary's word, else
// spelled letter by letter when it is a lone letter, all capitals ("AWS") or has no vowel ("js"), else
// `guess`ed, with a second reading where it starts or ends with a dictionary word of three letters or more
// ("Supabase": "supa" guessed, "base" the dictionary's). Digits are said as a number ("8" eight, "365" three
// hundred sixty five, "2026" twenty twenty six); a run of more than four, or one starting with 0, digit by
// digit. Entries that can't be said are told in `problems` naming `file` and their line. Pure apart from
// `guess`.
SoundedWords sound_words(const std::vector<ListedWord>& words, const Pronunciations& dictionary,
                         const LetterToSound& guess, std::string_view file);

}  // namespace server
