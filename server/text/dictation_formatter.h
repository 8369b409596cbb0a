#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace server {

// Turns the recogniser's words into text a person can paste, the way dictation works from words alone:
// - spoken punctuation becomes its mark, spaced as written English spaces it: "comma" ",", "period" and
//   "full stop" ".", "question mark" "?", "exclamation mark"/"exclamation point" "!", "colon" ":",
//   "semicolon"/"semi colon" ";", "hyphen" "-" between two words, "dash" " - ", "open quote"/"close quote"
//   '"', "open paren"/"close paren" (also "parenthesis", "bracket") "(" and ")";
// - "new line" starts a line, "new paragraph" leaves a blank line;
// - "literal" before any of these says its words instead ("literal comma" is the word "comma");
// - capitals: the first word, the first after ".", "?", "!" or "new paragraph", and "I" with its
//   contractions ("I'm", "I'll").
// - an entry of the user's word list (its token, see listed_words.h) is written exactly as listed, never
//   given a capital, never read as a command.
// Every mark is written as said, repeats included. The text never starts or ends with a space.
// `words` are separated by single spaces (runs of spaces are tolerated), lower case as the recogniser gives
// them; anything else passes through unchanged apart from capitals. Pure; any thread.
std::string format_dictation(std::string_view words);

// The commands format_dictation knows, as said: one word, or two with the second non-empty ("full",
// "stop"); "literal" is not among them. For the recogniser, which listens for them.
std::vector<std::pair<std::string_view, std::string_view>> spoken_commands();

}  // namespace server
