#pragma once

#include <string>
#include <vector>

#include "server/recognition/word_sounds.h"

namespace server {

// A language model learnt from the user's writing, searched mixed with the general one: a word's
// probability is (1 - weight) of the general model's plus `weight` of the learnt one's. No model when
// `model_path` is empty. `words` are the words of that writing the dictionary lacks, with the sounds the
// learning gave them: each decoder's dictionary gets them before the model, or the model's use of them
// would be lost.
struct LearntLanguage {
    std::string model_path;
    double weight = 0.0;
    std::vector<WordSound> words;
};

}  // namespace server
