#pragma once

#include <cstddef>
#include <cstdint>

// How loud the input is while a take records, worked out on the main thread from the samples it drains (the
// audio thread's work stays a copy into the ring). Main thread.
class InputMeter {
public:
    // Below this a sample counts as silence (about -60 dBFS), as is_silent() judges a whole take.
    static constexpr float silence = 0.001f;
    // At or beyond this a sample is taken to have clipped: a 16-bit source's full scale is 32767/32768.
    static constexpr float clip_level = 0.999f;

    struct Reading {
        std::uint64_t samples = 0;         // fed since the take began
        float peak = 0;                    // the largest magnitude fed since the last reading
        bool clipped = false;              // whether any of those reached clip_level
        std::uint64_t silent_samples = 0;  // how many of the latest samples, in a row, were silence
    };

    // For a new take.
    void reset() { *this = InputMeter{}; }

    // Takes in the next samples of the take, in order. NaN counts as silence.
    void feed(const float* samples, std::size_t count);

    // What has been fed so far.
    const Reading& reading() const { return reading_; }
    // The peak and the clip mark start again from here.
    void start_new_peak() {
        reading_.peak = 0;
        reading_.clipped = false;
    }

private:
    Reading reading_;
};
