#pragma once

#include <cstddef>
#include <memory>
#include <vector>

// The recording of one take in memory: 32-bit float samples, one per frame, in the order they were captured.
//
// Storage is a list of fixed-size chunks, so growing the take never moves audio that is already stored: an
// append costs at most one chunk allocation, never a copy of the whole take.
//
// Main thread only: the audio thread hands its samples over through a SampleRing, and the main thread
// appends them here as it drains the ring.
class SampleBuffer {
public:
    static constexpr std::size_t chunk_samples = std::size_t{1} << 18;  // 1 MiB of floats

    SampleBuffer();

    void append(const float* samples, std::size_t count);

    std::size_t size() const { return size_; }

    // Releases all stored audio.
    void clear();

    // Calls visit(pointer, count) for each stored run of samples, in capture order.
    template <class Visitor>
    void for_each_block(Visitor&& visit) const {
        std::size_t left = size();
        for (const auto& chunk : chunks_) {
            if (left == 0) break;
            const std::size_t n = left < chunk_samples ? left : chunk_samples;
            visit(static_cast<const float*>(chunk.get()), n);
            left -= n;
        }
    }

private:
    std::vector<std::unique_ptr<float[]>> chunks_;
    std::size_t size_ = 0;
};
