#pragma once

#include <string>

namespace server {

// A language model learnt from the user's own writing, searched mixed with the general one: a word's
// probability is (1 - weight) of the general model's plus `weight` of the learnt one's. No model when
// `model_path` is empty.
struct LearntLanguage {
    std::string model_path;
    double weight = 0.0;
};

}  // namespace server
