#pragma once

#include <cstddef>
#include <cstdint>

// What the end of a take needs to know of its sound, gathered as the samples arrive, so that no take has
// to be kept in memory to learn it. Main thread.
class TakeLevel {
public:
    void add(const float* samples, std::size_t count);

    // Every sample added since the last reset.
    std::uint64_t samples() const { return samples_; }

    // True when every sample so far lies within +-0.001 of zero (a peak below about -60 dBFS): a take that
    // heard nothing, as from a muted or wrong input device. NaN samples count as silence.
    bool silent() const { return !heard_; }

    void reset() { *this = TakeLevel{}; }

private:
    std::uint64_t samples_ = 0;
    bool heard_ = false;
};
