#include "server/adaptation/held_back.h"

#include <algorithm>

namespace server {
namespace {

struct Target {
    double seconds = 0;
    std::size_t words = 0;
};

bool meets(const HeldBack& held, const Target& target) {
    return held.seconds >= target.seconds && held.words >= target.words;
}

void add(HeldBack& held, const std::vector<TakeSize>& takes, std::size_t index) {
    held.takes.push_back(index);
    held.seconds += takes[index].seconds;
    held.words += takes[index].words;
}

// Adds to `held` the fewest takes of `group`, spread evenly over it, that bring it up to `target`; all of the
// group when even that falls short.
void add_spread(HeldBack& held, const std::vector<TakeSize>& takes, const std::vector<std::size_t>& group,
                const Target& target) {
    HeldBack tried = held;
    for (std::size_t count = 1; count <= group.size(); ++count) {
        tried = held;
        // The middle of each of `count` equal stretches of the group.
        for (std::size_t at = 0; at < count; ++at)
            add(tried, takes, group[(2 * at + 1) * group.size() / (2 * count)]);
        if (meets(tried, target)) break;
    }
    held = std::move(tried);
}

HeldBack hold_back(const std::vector<TakeSize>& takes, const HeldBackNeeds& needs, const Target& target) {
    std::vector<std::size_t> sentences;
    std::vector<std::size_t> short_takes;
    for (std::size_t i = 0; i < takes.size(); ++i)
        (takes[i].words >= needs.several_words ? sentences : short_takes).push_back(i);
    HeldBack held;
    add_spread(held, takes, sentences, target);
    if (!meets(held, target)) add_spread(held, takes, short_takes, target);
    std::sort(held.takes.begin(), held.takes.end());
    return held;
}

}  // namespace

HeldBack choose_held_back(const std::vector<TakeSize>& takes, const HeldBackNeeds& needs) {
    double speech = 0;
    for (const auto& take : takes) speech += take.seconds;
    HeldBack held = hold_back(takes, needs, {std::max(needs.share * speech, needs.seconds), needs.words});
    held.enough = meets(held, {needs.seconds, needs.words}) && held.takes.size() < takes.size() &&
                  speech - held.seconds >= needs.seconds_to_train;
    if (held.enough || takes.empty()) return held;
    held = hold_back(takes, needs, {needs.share * speech, 1});
    if (held.takes.size() == takes.size() && takes.size() > 1) {
        // One take holds most of the speech: the last one stands in for the tenth, the rest is adapted on.
        held = {};
        add(held, takes, takes.size() - 1);
    }
    return held;
}

}  // namespace server
