#pragma once

#include <cstddef>
#include <string>
#include <unordered_set>
#include <vector>

namespace server {

// One recording and the words that were said in it, as the recogniser's dictionary spells them.
struct AdaptationPair {
    std::string name;  // the text file's name without its extension; unique among the pairs
    std::string wav_path;
    std::vector<std::string> words;
};

struct PairSearch {
    std::vector<AdaptationPair> pairs;  // in name order
    // Pairs left out because a word is not in the dictionary, as "NAME (word)".
    std::vector<std::string> unknown_words;
    std::size_t empty_texts = 0;  // texts with no words at all
    // Files of pairs that were not read, as "PATH: reason" (see adaptation_input.h: not a regular file, a
    // link leading out of the folders, a text too large).
    std::vector<std::string> refused;
};

// The words of a text as the dictionary spells them: lower case, punctuation dropped, hyphens and other
// separators splitting words, apostrophes kept inside words.
std::vector<std::string> spoken_words(const std::string& text);

// The words of a pronunciation dictionary ("word PHONES", alternatives written "word(2) PHONES").
// Throws std::runtime_error naming the file when it cannot be read.
std::unordered_set<std::string> dictionary_words(const std::string& dictionary_path);

// Finds the pairs in `folders`. A text counts only when a person wrote or checked it:
// - NAME.txt with NAME.wav (what enrolment writes, or any prepared folder);
// - STEM_corrected.txt with the take STEM_output.wav: a transcript a person corrected or confirmed.
// The recogniser's own STEM_transcription.txt never counts. The WAV may be in any of the folders (takes
// and transcripts are kept in separate ones). Texts without a WAV are ignored; files that are not read are
// listed in `refused`. Links are followed only to files inside the folders. Throws std::runtime_error
// naming a folder that cannot be listed.
PairSearch find_pairs(const std::vector<std::string>& folders,
                      const std::unordered_set<std::string>& dictionary);

}  // namespace server
