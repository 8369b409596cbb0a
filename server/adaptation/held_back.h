#pragma once

#include <cstddef>
#include <vector>

namespace server {

// What an adapted model is judged on. A handful of one-word takes decides by chance: one inserted word moves
// their word error by several points, so the judge wants a minute of speech and 150 words, taken from
// takes that are sentences rather than single words.
struct HeldBackNeeds {
    double share = 0.1;             // of the speech, at least
    double seconds = 60;            // of speech, at least
    std::size_t words = 150;        // at least
    std::size_t several_words = 3;  // takes with fewer are held back only when the others fall short
    double seconds_to_train = 60;   // must be left to adapt on
};

struct TakeSize {
    double seconds = 0;  // of speech
    std::size_t words = 0;
};

struct HeldBack {
    std::vector<std::size_t> takes;  // indices into the takes given, ascending
    double seconds = 0;
    std::size_t words = 0;
    // Whether `takes` meet every need; when they can't, they are a tenth of the speech (at least one take,
    // never all) and an adapted model must win on them by a margin (see choose_what_to_keep).
    bool enough = false;
};

// Chooses whole takes to hold back: the fewest takes of several words, spread evenly over the name order,
// that meet the needs, topped up the same way from the shorter takes when those fall short. The
// same takes give the same choice, so a second run judges on what the first one held back.
HeldBack choose_held_back(const std::vector<TakeSize>& takes, const HeldBackNeeds& needs = {});

}  // namespace server
