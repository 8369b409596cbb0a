#pragma once

#include <string>

#include "server/recognition/learnt_language.h"

struct ps_decoder_s;

namespace server {

// The least probability, as a power of ten, that the search gives a spoken command word whatever was said
// before it: a lone command ("comma", "colon") anywhere, the second word of a two-word one ("quote" in
// "open quote") after its first. The model folder's language model rarely saw these words as words of
// their own ("comma" 10^-5.9, "quote" after "open" 10^-5.4). -4.5 hears more of them but costs three
// words on the engine's test recordings (see docs/server.md).
inline constexpr double command_floor_log10 = -5.0;

// Makes `decoder`, loaded without a language model, search with the one at `lm_path` mixed with a small
// one of the spoken commands (server/text/dictation_formatter.h), so that each command word has at least the
// probability above; adds the command words the dictionary lacks ("semicolon", "paren"). Call once, before
// the first utterance. `learnt`, when it names a model, is mixed in with its weight beside the general one.
// Throws std::runtime_error naming the file or step that failed.
void listen_for_commands(ps_decoder_s* decoder, const std::string& lm_path,
                         const LearntLanguage& learnt = {});

}  // namespace server
