#include "audio/sample_buffer.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

namespace {

std::vector<float> contents(const SampleBuffer& buffer) {
    std::vector<float> all;
    buffer.for_each_block([&](const float* p, std::size_t n) { all.insert(all.end(), p, p + n); });
    return all;
}

std::vector<float> ramp(std::size_t n, float start = 0.0f) {
    std::vector<float> v(n);
    std::iota(v.begin(), v.end(), start);
    return v;
}

TEST(SampleBuffer, ReadsBackInOrderAcrossChunkBoundaries) {
    constexpr std::size_t chunk = SampleBuffer::chunk_samples;
    // Block sizes that land exactly on, just before and just after chunk boundaries.
    for (std::size_t block :
         {std::size_t{1}, std::size_t{511}, std::size_t{512}, chunk - 1, chunk, chunk + 1}) {
        const std::vector<float> all = ramp(3 * chunk + 17);
        SampleBuffer buffer;
        for (std::size_t at = 0; at < all.size(); at += block) {
            buffer.append(all.data() + at, std::min(block, all.size() - at));
        }
        ASSERT_EQ(buffer.size(), all.size()) << block;
        EXPECT_EQ(contents(buffer), all) << block;
    }
}

TEST(SampleBuffer, EmptyAndExactlyOneChunk) {
    SampleBuffer buffer;
    EXPECT_EQ(buffer.size(), 0u);
    int visits = 0;
    buffer.for_each_block([&](const float*, std::size_t) { ++visits; });
    EXPECT_EQ(visits, 0);

    const auto one_chunk = ramp(SampleBuffer::chunk_samples);
    buffer.append(one_chunk.data(), one_chunk.size());
    buffer.for_each_block([&](const float*, std::size_t n) {
        ++visits;
        EXPECT_EQ(n, one_chunk.size());
    });
    EXPECT_EQ(visits, 1);
}

TEST(SampleBuffer, ClearStartsAFreshTake) {
    SampleBuffer buffer;
    const auto first = ramp(1000, 5.0f);
    buffer.append(first.data(), first.size());
    buffer.clear();
    EXPECT_EQ(buffer.size(), 0u);
    const auto second = ramp(10, -3.0f);
    buffer.append(second.data(), second.size());
    EXPECT_EQ(contents(buffer), second);
}

}  // namespace
