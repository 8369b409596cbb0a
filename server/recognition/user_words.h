#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/recognition/word_sounds.h"

namespace server {

// The user's word list, ready for the recogniser: read from `given_path` (--words), or from `default_path`
// (the profile's words.txt; none when empty) when that is empty, and said with the dictionary of `model_dir`
// and the synthesiser's letter-to-sound rules. Each line that can't be used, and how many entries were
// learnt, go to `tell` one line each. A default list that does not exist is no words and no line; one that
// exists but can't be read is told and gives no words. Nothing when a given list can't be read (told too):
// the caller exits. Throws std::runtime_error when the dictionary can't be read.
std::optional<std::vector<WordSound>> load_user_words(const std::string& given_path,
                                                      const std::string& default_path,
                                                      const std::string& model_dir,
                                                      const std::function<void(std::string_view)>& tell);

}  // namespace server
