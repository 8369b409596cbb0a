#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// Hears when a take's speech has paused for long enough to end it: once some speech has come, the run of
// quiet since its last sound. Time is counted in samples, so that it is the take's own time, whatever the
// main thread's turns. Main thread.
//
// The level is the one the status line shows: the peak of each 10 ms block. The noise floor is the quietest
// block of the take so far; speech is a level at least `margin` times (12 dB) above it, and above
// `speech_minimum` (-40 dBFS) however silent the floor, held for `speech_run` blocks in a row. A steady
// noise, however loud, is never speech, and a click is too short to be. The floor is only known once the
// take has had a quiet moment, so a take that starts while the person speaks learns that it heard speech
// from its first pause.
class SpeechPause {
public:
    static constexpr std::size_t block = 480;  // 10 ms at 48 kHz
    static constexpr float margin = 4.0f;
    static constexpr float speech_minimum = 0.01f;
    static constexpr std::size_t speech_run = 10;  // 100 ms

    // `quiet_samples`: how long a pause after speech ends the take; 0: never.
    explicit SpeechPause(std::uint64_t quiet_samples) : quiet_samples_(quiet_samples) {}

    // Takes in the next samples of the take, in order. NaN counts as silence.
    void feed(const float* samples, std::size_t count);

    // True once speech has been heard and has been followed by `quiet_samples` of quiet.
    bool over() const;

private:
    void end_block();
    float threshold() const;
    // A peak's step on a scale of half decibels from -120 dBFS (0) to full scale (`steps` - 1).
    static std::size_t step_of(float peak);
    static constexpr std::size_t steps = 241;

    std::uint64_t quiet_samples_;
    float block_peak_ = 0;
    std::size_t in_block_ = 0;
    bool floor_known_ = false;
    float floor_ = 0;                         // the quietest block so far
    float loudest_held_ = 0;                  // the loudest level held for speech_run blocks so far
    std::array<float, speech_run> recent_{};  // the latest blocks' peaks, a ring
    std::uint64_t blocks_ = 0;
    // For each step, the number of the latest block (from 1) that reached it; 0: none. The floor can fall
    // long after a block was judged, so the pause is measured from the last block as loud as speech is
    // judged now: a take that begins with speech learns only in its pause how quiet the room is.
    std::array<std::uint64_t, steps> last_reaching_{};
};
