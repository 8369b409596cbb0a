#include "audio/sample_ring.h"

#include <bit>

SampleRing::SampleRing(std::size_t min_samples)
    : data_(std::make_unique<float[]>(std::bit_ceil(std::max<std::size_t>(min_samples, 2)))),
      mask_(std::bit_ceil(std::max<std::size_t>(min_samples, 2)) - 1) {
    // make_unique zero-fills, but a zero fill may be turned into a request for fresh zero pages that are
    // only mapped on first touch; a volatile store per page makes sure each page is really there.
    volatile float* pages = data_.get();
    constexpr std::size_t floats_per_page = 4096 / sizeof(float);
    for (std::size_t i = 0; i < capacity(); i += floats_per_page) pages[i] = 0.0f;
}

void SampleRing::push(const float* samples, std::size_t count) noexcept {
    const std::uint64_t head = head_.load(std::memory_order_relaxed);
    const std::uint64_t tail = tail_.load(std::memory_order_acquire);
    const std::size_t room = capacity() - static_cast<std::size_t>(head - tail);
    const std::size_t kept = std::min(count, room);
    const std::size_t start = static_cast<std::size_t>(head) & mask_;
    const std::size_t first = std::min(kept, capacity() - start);
    std::copy_n(samples, first, data_.get() + start);
    std::copy_n(samples + first, kept - first, data_.get());
    head_.store(head + kept, std::memory_order_release);
    if (kept < count) dropped_.fetch_add(count - kept, std::memory_order_relaxed);
    arrived_.fetch_add(count, std::memory_order_release);
}

void SampleRing::reset() {
    head_.store(0, std::memory_order_relaxed);
    tail_.store(0, std::memory_order_relaxed);
    arrived_.store(0, std::memory_order_relaxed);
    dropped_.store(0, std::memory_order_release);
}
