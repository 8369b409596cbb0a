#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace server {

// Turns 16 kHz mono 16-bit speech into words. The request handler depends on this seam only, so that a
// fuzzer can drive request handling without loading a model.
class SpeechToText {
public:
    virtual ~SpeechToText() = default;
    // Returns the words heard, separated by single spaces; empty when nothing was recognised. Safe to call
    // from any thread. Throws std::runtime_error naming the failed step if decoding breaks down.
    virtual std::string transcribe(std::span<const std::int16_t> samples) = 0;
};

}  // namespace server
