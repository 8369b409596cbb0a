#include "audio/take_level.h"

#include <cmath>

bool is_silent(const SampleBuffer& recorded_samples) {
    constexpr float silence = 0.001f;
    bool silent = true;
    recorded_samples.for_each_block([&](const float* samples, std::size_t count) {
        if (!silent) return;
        for (std::size_t i = 0; i < count; ++i) {
            if (std::fabs(samples[i]) > silence) {
                silent = false;
                return;
            }
        }
    });
    return silent;
}
