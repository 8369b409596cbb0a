#pragma once

#include <string>
#include <vector>

#include "server/recognition/learnt_language.h"

struct ps_decoder_s;

namespace server {

// The least probability, as a power of ten, that the search gives a spoken command word whatever was said
// before it: a lone command ("comma", "colon") anywhere, the second word of a two-word one ("quote" in
// "open quote") after its first. The model folder's language model rarely saw these words as words of
// their own ("comma" 10^-5.9, "quote" after "open" 10^-5.4). -4.5 hears more of them but costs three
// words on the engine's test recordings (see docs/server.md).
inline constexpr double command_floor_log10 = -5.0;

// A small language model mixed in beside the commands' (see listen_for_commands): its words get at least
// the probability 10^floor_log10 wherever they fall.
struct MixedModel {
    std::string name;       // the set's name for it, and its in-memory file's
    std::string what;       // for messages: "the word list's language model"
    std::string arpa_text;  // the model, in ARPA text form
    double floor_log10;
};

// Makes `decoder`, loaded without a language model, search with the one at `lm_path` mixed with a small
// one of the spoken commands (server/text/dictation_formatter.h), so that each command word has at least the
// probability above, with the models in `more`, and with `learnt` when it names a model (mixed in with its
// weight beside the general one); adds the command words the dictionary lacks ("semicolon", "paren"). Words
// of `more` must be in the dictionary already. Call once, before the first utterance. Throws
// std::runtime_error naming the file or step that failed.
void listen_for_commands(ps_decoder_s* decoder, const std::string& lm_path,
                         const std::vector<MixedModel>& more = {}, const LearntLanguage& learnt = {});

}  // namespace server
