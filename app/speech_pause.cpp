#include "app/speech_pause.h"

#include <algorithm>
#include <cmath>

void SpeechPause::feed(const float* samples, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        const float magnitude = std::fabs(samples[i]);
        if (magnitude > block_peak_) block_peak_ = magnitude;  // false for NaN
        if (++in_block_ == block) end_block();
    }
}

float SpeechPause::threshold() const { return std::max(floor_ * margin, speech_minimum); }

void SpeechPause::end_block() {
    const float peak = block_peak_;
    block_peak_ = 0;
    in_block_ = 0;
    if (!floor_known_ || peak < floor_) floor_ = peak;
    floor_known_ = true;
    recent_[blocks_++ % speech_run] = peak;
    if (blocks_ >= speech_run)
        loudest_held_ = std::max(loudest_held_, *std::min_element(recent_.begin(), recent_.end()));
    const std::size_t reached = step_of(peak);
    for (std::size_t step = 0; step <= reached; ++step) last_reaching_[step] = blocks_;
}

std::size_t SpeechPause::step_of(float peak) {
    if (!(peak > 1e-6f)) return 0;  // -120 dBFS and below, or NaN
    const double half_decibels = 2 * (20 * std::log10(static_cast<double>(peak)) + 120);
    return std::min(static_cast<std::size_t>(half_decibels), steps - 1);
}

bool SpeechPause::over() const {
    if (quiet_samples_ == 0 || loudest_held_ < threshold()) return false;
    // Any block at speech's level starts the pause again, whether or not it is long enough to be speech
    // itself: a short word at the end of a sentence is still part of it.
    const std::uint64_t quiet_blocks = blocks_ - last_reaching_[step_of(threshold())];
    return quiet_blocks * block >= quiet_samples_;
}
