#include "bench/synthetic_take.h"

#include <algorithm>

namespace bench {

void fill_noise(float* out, std::size_t count, std::uint32_t& state) {
    for (std::size_t i = 0; i < count; ++i) {
        // xorshift32: cheap enough that making a 60-minute take is not what the run waits for.
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        out[i] = static_cast<float>(state >> 8) * (2.5f / 16777216.0f) - 1.25f;
    }
}

void record_noise(SampleBuffer& buffer, std::size_t frames) {
    std::uint32_t state = 0x9E3779B9u;
    float block[audio_block_frames];
    for (std::size_t done = 0; done < frames;) {
        const std::size_t n = std::min(audio_block_frames, frames - done);
        fill_noise(block, n, state);
        buffer.append(block, n);
        done += n;
    }
}

}  // namespace bench
