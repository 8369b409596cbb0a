#include "audio/take_level.h"

#include <cmath>

void TakeLevel::add(const float* samples, std::size_t count) {
    constexpr float silence = 0.001f;
    samples_ += count;
    for (std::size_t i = 0; i < count && !heard_; ++i) heard_ = std::fabs(samples[i]) > silence;
}
