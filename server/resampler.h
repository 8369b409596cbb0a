#pragma once

#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

#include "server/wav_reader.h"

namespace server {

// The rate the recogniser's acoustic model was trained on.
inline constexpr unsigned recognizer_rate = 16000;

// Downmixes `audio` to one channel and converts it to 16 kHz signed 16-bit samples, the recogniser's input.
// Resampling is high quality and deterministic: no dither, so the same upload always gives the same samples
// (and the same transcript). 16 kHz 16-bit input passes through bit for bit. Works through the input in
// blocks, so memory beyond the result stays small whatever the upload's size. Throws std::runtime_error
// naming the resampler's reason if it cannot be set up. Any thread.
// `consumed`, when given, is told of each block of `audio.data` once it has been read, in order; the
// caller may then let go of those bytes (an upload mapped from disk gives its pages back).
std::vector<std::int16_t> to_recognizer_input(const WavAudio& audio,
                                              const std::function<void(std::string_view)>& consumed = {});

}  // namespace server
