#include "audio/sample_buffer.h"

#include <algorithm>

namespace {
// Room for the chunk list of a 24-hour take, so the list itself never has to move in any take a person
// would make.
constexpr std::size_t reserved_chunks = std::size_t{24} * 3600 * 48000 / SampleBuffer::chunk_samples + 1;
}  // namespace

SampleBuffer::SampleBuffer() { chunks_.reserve(reserved_chunks); }

void SampleBuffer::append(const float* samples, std::size_t count) {
    std::size_t stored = size_;
    while (count > 0) {
        const std::size_t offset = stored % chunk_samples;
        if (offset == 0 && stored / chunk_samples == chunks_.size()) {
            // for_overwrite: the samples are written below, so zero-filling a megabyte would be wasted work.
            chunks_.push_back(std::make_unique_for_overwrite<float[]>(chunk_samples));
        }
        const std::size_t n = std::min(count, chunk_samples - offset);
        std::copy_n(samples, n, chunks_[stored / chunk_samples].get() + offset);
        samples += n;
        count -= n;
        stored += n;
    }
    size_ = stored;
}

void SampleBuffer::clear() {
    chunks_.clear();
    size_ = 0;
}
