#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

// The hand-over from the audio library's thread to the main thread: a fixed ring of float samples with one
// producer and one consumer, neither of which ever waits for the other.
//
// All memory is allocated and written once in the constructor, so push() never allocates, locks, makes a
// system call or meets a page for the first time. When the main thread falls behind by more than the ring
// holds, push() keeps what fits and counts the samples it had to drop; they are a gap in the take, which the
// main thread reports.
//
// Threads: push() on the producer only; drain(), reset() and the constructor on the consumer only; the
// counters from either. reset() only while no push() can run.
class SampleRing {
public:
    // Room for at least `min_samples`, rounded up to a power of two.
    explicit SampleRing(std::size_t min_samples);

    std::size_t capacity() const { return mask_ + 1; }

    void push(const float* samples, std::size_t count) noexcept;

    // Hands every sample pushed so far and not yet drained to visit(pointer, count), in order (in at most two
    // runs, where the ring wraps), then frees their room. Returns how many there were.
    template <class Visitor>
    std::size_t drain(Visitor&& visit) {
        const std::uint64_t tail = tail_.load(std::memory_order_relaxed);
        const std::uint64_t head = head_.load(std::memory_order_acquire);
        const auto total = static_cast<std::size_t>(head - tail);
        const std::size_t start = static_cast<std::size_t>(tail) & mask_;
        const std::size_t first = std::min(total, capacity() - start);
        if (first > 0) visit(static_cast<const float*>(data_.get() + start), first);
        if (total > first) visit(static_cast<const float*>(data_.get()), total - first);
        tail_.store(head, std::memory_order_release);
        return total;
    }

    // Every sample offered to push() since the last reset, kept or dropped: it grows while sound arrives.
    std::uint64_t arrived() const { return arrived_.load(std::memory_order_acquire); }
    std::uint64_t dropped() const { return dropped_.load(std::memory_order_acquire); }

    // Empties the ring and zeroes the counters for a new take.
    void reset();

private:
    std::unique_ptr<float[]> data_;
    std::size_t mask_;
    // Apart, so that the two threads' stores don't share a cache line.
    alignas(64) std::atomic<std::uint64_t> head_{0};  // written by the producer
    alignas(64) std::atomic<std::uint64_t> tail_{0};  // written by the consumer
    alignas(64) std::atomic<std::uint64_t> arrived_{0};
    std::atomic<std::uint64_t> dropped_{0};
};
