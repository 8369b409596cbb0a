#include "app/input_meter.h"

#include <cmath>

void InputMeter::feed(const float* samples, std::size_t count) {
    float peak = reading_.peak;
    std::size_t last_loud = count;  // none
    for (std::size_t i = 0; i < count; ++i) {
        const float magnitude = std::fabs(samples[i]);
        if (magnitude > peak) peak = magnitude;
        if (magnitude > silence) last_loud = i;
    }
    reading_.peak = peak;
    reading_.clipped = reading_.clipped || peak >= clip_level;
    reading_.samples += count;
    if (last_loud == count) {
        reading_.silent_samples += count;
    } else {
        reading_.silent_samples = count - 1 - last_loud;
    }
}
