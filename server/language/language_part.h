#pragma once

#include <functional>
#include <optional>
#include <string>

#include "server/recognition/learnt_language.h"

namespace server {

// The learnt language in a profile, `PROFILE/language` (a link to its current version, replaced whole as
// a voice profile is, see profile_swap.h):
//   words.lm.bin       the model learnt from the user's writing, in the engine's binary form
//   language.txt       "name value" lines: the mixing weight, the held-back text's perplexities, how much
//                      text it was learnt from
//   unknown-words.txt  the words of the writing the dictionary lacks and no sounds were given, most
//                      frequent first, with counts
//   words.dict         the words of the writing the dictionary lacks that were given sounds, one
//                      "word PHONE PHONE..." line each (none in a language learnt before they were)
inline constexpr const char* learnt_model_file = "words.lm.bin";
inline constexpr const char* language_notes_file = "language.txt";
inline constexpr const char* unknown_words_file = "unknown-words.txt";
inline constexpr const char* learnt_words_file = "words.dict";

// Whether `dir` holds a whole learnt language (its model and its notes).
bool is_learnt_language(const std::string& dir);

// The learnt language to search with from the profile part `language_dir` (its current version), or
// nullopt when there is none, with the words of its words.dict (none when it has no such file). Each line
// of words.dict that is no word with the acoustic model's phones goes to `tell` ("FILE:LINE: reason;
// skipped") and is left out. Throws std::runtime_error naming the file when its notes give no usable
// weight, or when its words.dict exists but can't be read.
std::optional<LearntLanguage> find_learnt_language(const std::string& language_dir,
                                                   const std::function<void(const std::string&)>& tell = {});

}  // namespace server
