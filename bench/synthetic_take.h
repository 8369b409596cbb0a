// Recorded audio made up for benchmarks: noise in the shape the audio thread delivers it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "audio/sample_buffer.h"

namespace bench {

inline constexpr std::size_t frames_per_minute = std::size_t{48000} * 60;
// What the audio library hands the callback per call on a typical setup.
inline constexpr std::size_t audio_block_frames = 512;

// Writes `count` samples of noise spread over [-1.25, 1.25): mostly within full scale, with about one in
// five beyond it as from an overdriven microphone, so the writer's clipping is exercised at its real rate.
// `state` carries the generator between calls and must not be 0.
void fill_noise(float* out, std::size_t count, std::uint32_t& state);

// Appends `frames` samples of noise to `buffer` in audio-thread-sized blocks.
void record_noise(SampleBuffer& buffer, std::size_t frames);

}  // namespace bench
