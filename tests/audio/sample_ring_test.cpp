#include "audio/sample_ring.h"

#include <gtest/gtest.h>

#include <numeric>
#include <thread>
#include <vector>

namespace {

std::vector<float> drained(SampleRing& ring) {
    std::vector<float> out;
    ring.drain([&](const float* p, std::size_t n) { out.insert(out.end(), p, p + n); });
    return out;
}

std::vector<float> ramp(std::size_t n, float start) {
    std::vector<float> v(n);
    std::iota(v.begin(), v.end(), start);
    return v;
}

TEST(SampleRing, WrapsAroundKeepingOrder) {
    SampleRing ring(16);
    ASSERT_EQ(ring.capacity(), 16u);
    // Pushes of 5 against a ring of 16 wrap at every possible offset over a few rounds.
    float next = 0;
    for (int round = 0; round < 20; ++round) {
        const auto block = ramp(5, next);
        ring.push(block.data(), block.size());
        if (round % 2 == 1) {
            const auto got = drained(ring);
            EXPECT_EQ(got, ramp(10, next - 5)) << round;
        }
        next += 5;
    }
    EXPECT_EQ(ring.dropped(), 0u);
    EXPECT_EQ(ring.arrived(), 100u);
}

TEST(SampleRing, OverflowKeepsWhatFitsAndCountsTheRest) {
    SampleRing ring(8);
    const auto block = ramp(6, 0);
    ring.push(block.data(), block.size());
    ring.push(block.data(), block.size());  // only 2 of these fit
    EXPECT_EQ(ring.dropped(), 4u);
    EXPECT_EQ(ring.arrived(), 12u);
    EXPECT_EQ(drained(ring), (std::vector<float>{0, 1, 2, 3, 4, 5, 0, 1}));
    // Once drained there is room again; the count stays for the take.
    ring.push(block.data(), 3);
    EXPECT_EQ(drained(ring), (std::vector<float>{0, 1, 2}));
    EXPECT_EQ(ring.dropped(), 4u);
    ring.reset();
    EXPECT_EQ(ring.dropped(), 0u);
    EXPECT_EQ(ring.arrived(), 0u);
    EXPECT_TRUE(drained(ring).empty());
}

// The audio library's thread pushes while the main thread drains, as during a take: every sample arrives
// at most once, in order, and every sample is either drained or counted as dropped. Meant to run under
// ThreadSanitizer too.
TEST(SampleRing, OneThreadPushesAnotherDrains) {
    SampleRing ring(4096);
    constexpr int blocks = 1000;
    constexpr std::size_t block = 480;
    std::thread audio([&] {
        std::vector<float> samples(block);
        for (int i = 0; i < blocks; ++i) {
            std::iota(samples.begin(), samples.end(), static_cast<float>(i * block));
            ring.push(samples.data(), samples.size());
            std::this_thread::yield();
        }
    });
    std::vector<float> got;
    while (got.size() + ring.dropped() < blocks * block) {
        ring.drain([&](const float* p, std::size_t n) { got.insert(got.end(), p, p + n); });
        std::this_thread::yield();
    }
    audio.join();
    ring.drain([&](const float* p, std::size_t n) { got.insert(got.end(), p, p + n); });
    ASSERT_EQ(got.size() + ring.dropped(), blocks * block);
    for (std::size_t i = 1; i < got.size(); ++i) ASSERT_LT(got[i - 1], got[i]) << i;
}

}  // namespace
