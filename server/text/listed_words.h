#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace server {

// How an entry of the user's word list ("n8n", "New York Times") travels from the recogniser to the text:
// as one word of its own, "{New_York_Times}", that no dictionary word looks like, so that the formatter
// can write it exactly as listed and never read it as a command or give it a capital. Entries never hold
// "{", "}", "_" or "(" (the list refuses them), so the token is unambiguous and the engine's "word(2)"
// form for a second pronunciation can't clash with it.

// The recogniser's word for the entry `written` (single spaces between its words).
std::string listed_word_token(std::string_view written);

// The entry a recogniser's word stands for; nothing when it is an ordinary word.
std::optional<std::string> listed_word_written(std::string_view word);

// The recogniser's words with every entry's token written as listed, the rest unchanged: the plain words
// --raw-words answers. Pure; any thread.
std::string plain_words(std::string_view words);

}  // namespace server
