#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// An entry of the word list with the dictionary words it is said in, when there are such ("n eight n",
// "sequel light"; empty otherwise).
struct ListedPhrase {
    std::string written;
    std::string said;
};

// The search may take an entry as dictionary words rather than as its token, whichever scores better: as
// the words it is spelled with ("nakamura", "new york times") or those it is said in ("a w s", "sequel
// light"). The user still wants it written as listed. Made once; const and any thread after.
class ListedPhrases {
public:
    explicit ListedPhrases(const std::vector<ListedPhrase>& entries);
    // `words` with every run of recogniser words that spells or says an entry, without regard to case,
    // replaced by the entry's token; the longest run wins where several start at one word.
    std::string mark(std::string_view words) const;

private:
    // By first word, lower case: each run's words, lower case, with its entry's token; longest first.
    std::map<std::string, std::vector<std::pair<std::vector<std::string>, std::string>>, std::less<>>
        by_first_;
};

}  // namespace server
