#include "audio/sample_buffer.h"

#include <gtest/gtest.h>

#include <numeric>
#include <thread>
#include <vector>

namespace {

std::vector<float> ramp(std::size_t n, float start = 0.0f) {
    std::vector<float> v(n);
    std::iota(v.begin(), v.end(), start);
    return v;
}

TEST(SampleBuffer, ReadsBackInOrderAcrossChunkBoundaries) {
    constexpr std::size_t chunk = SampleBuffer::chunk_samples;
    // Block sizes that land exactly on, just before and just after chunk boundaries.
    for (std::size_t block : {std::size_t{1}, std::size_t{511}, std::size_t{512}, chunk - 1, chunk, chunk + 1}) {
        const std::vector<float> all = ramp(3 * chunk + 17);
        SampleBuffer buffer;
        for (std::size_t at = 0; at < all.size(); at += block) {
            buffer.append(all.data() + at, std::min(block, all.size() - at));
        }
        ASSERT_EQ(buffer.size(), all.size()) << block;
        EXPECT_EQ(buffer.to_vector(), all) << block;
    }
}

TEST(SampleBuffer, EmptyAndExactlyOneChunk) {
    SampleBuffer buffer;
    EXPECT_TRUE(buffer.empty());
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
    EXPECT_TRUE(buffer.empty());
    const auto second = ramp(10, -3.0f);
    buffer.append(second.data(), second.size());
    EXPECT_EQ(buffer.to_vector(), second);
}

// One thread appends as the audio library's would while another watches the size; the join is the
// hand-over after which everything appended must be visible. Meant to run under ThreadSanitizer too.
TEST(SampleBuffer, AppendOnOneThreadHandOverToAnother) {
    SampleBuffer buffer;
    const auto block = ramp(480);
    std::thread audio([&] {
        for (int i = 0; i < 2000; ++i) buffer.append(block.data(), block.size());
    });
    std::size_t seen = 0;
    while (seen < 2000 * block.size()) {
        const std::size_t now = buffer.size();
        ASSERT_GE(now, seen);
        seen = now;
        std::this_thread::yield();
    }
    audio.join();
    const auto all = buffer.to_vector();
    ASSERT_EQ(all.size(), 2000 * block.size());
    for (std::size_t i = 0; i < all.size(); i += 4799) EXPECT_EQ(all[i], block[i % block.size()]);
}

}  // namespace
