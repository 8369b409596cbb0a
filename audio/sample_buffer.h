#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <vector>

// The recording of one take: 32-bit float samples, one per frame, in the order they were captured.
//
// Storage is a list of fixed-size chunks, so growing the take never moves audio that is already stored:
// an append costs at most one chunk allocation, never a copy of the whole take. That keeps the audio
// thread's callback short however long the take runs.
//
// Threads: while a stream is open, exactly one thread (the audio library's) calls append(); size() may be
// read from any thread at any time. Every other member belongs to the main thread, which may use them
// only when no append() can be running (before the stream opens, after it has closed).
class SampleBuffer {
public:
    static constexpr std::size_t chunk_samples = std::size_t{1} << 18;  // 1 MiB of floats

    SampleBuffer();

    void append(const float* samples, std::size_t count);

    std::size_t size() const { return size_.load(std::memory_order_acquire); }
    bool empty() const { return size() == 0; }

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

    // Copies the take into one contiguous array (for tests and small takes).
    std::vector<float> to_vector() const;

private:
    std::vector<std::unique_ptr<float[]>> chunks_;
    std::atomic<std::size_t> size_{0};
};
