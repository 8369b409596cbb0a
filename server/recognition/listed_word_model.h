#pragma once

#include <vector>

#include "server/recognition/command_words.h"
#include "server/recognition/word_sounds.h"

struct ps_decoder_s;

namespace server {

// The least probability, as a power of ten, that the search gives an entry of the user's word list
// whatever was said before it. Tuned on the word-list benchmark (docs/server.md): lower and entries said
// are missed, higher and they replace ordinary words that sound a little like them.
inline constexpr double listed_word_floor_log10 = -3.5;

// Adds `words` to the dictionary of `decoder`, each pronunciation a variant of its token. Throws
// std::runtime_error naming the word that the engine refused.
void add_listed_words(ps_decoder_s* decoder, const std::vector<WordSound>& words);

// Adds the words of a learnt language (learnt_language.h) to the dictionary of `decoder`, after the user's
// listed words: one the dictionary already has (a voice profile's dictionary, say) keeps the sounds it has.
// Throws std::runtime_error naming the word that the engine refused.
void add_learnt_words(ps_decoder_s* decoder, const std::vector<WordSound>& words);

// A model of `words` to mix into the dictation search (see listen_for_commands), giving each entry at least
// the probability 10^floor_log10; nothing for no words.
std::vector<MixedModel> listed_word_model(const std::vector<WordSound>& words,
                                          double floor_log10 = listed_word_floor_log10);

}  // namespace server
