#include "app/status_line.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace {

constexpr std::uint64_t second = 48000;

TEST(InputMeter, PeakClipAndTrailingSilenceFollowTheSamples) {
    InputMeter meter;
    const std::vector<float> quiet(1000, 0.0005f);
    std::vector<float> loud(1000, 0.0f);
    loud[10] = -0.5f;
    loud[400] = 0.25f;
    meter.feed(quiet.data(), quiet.size());
    EXPECT_EQ(meter.reading().silent_samples, 1000u);
    meter.feed(loud.data(), loud.size());
    EXPECT_EQ(meter.reading().samples, 2000u);
    EXPECT_FLOAT_EQ(meter.reading().peak, 0.5f);
    EXPECT_FALSE(meter.reading().clipped);
    EXPECT_EQ(meter.reading().silent_samples, 599u);  // after the last loud sample, at 400
    meter.start_new_peak();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float clipped_and_nan[] = {nan, -1.0f, nan};
    meter.feed(clipped_and_nan, 3);
    EXPECT_FLOAT_EQ(meter.reading().peak, 1.0f);
    EXPECT_TRUE(meter.reading().clipped);
    EXPECT_EQ(meter.reading().silent_samples, 1u);  // NaN counts as silence
    meter.start_new_peak();
    EXPECT_EQ(meter.reading().peak, 0.0f);
    EXPECT_FALSE(meter.reading().clipped);
    EXPECT_EQ(meter.reading().samples, 2003u);
}

TEST(StatusLine, TextShowsTimeBarLevelAndMarks) {
    const struct {
        std::uint64_t samples;
        float peak;
        bool clipping;
        std::uint64_t silent;
        const char* text;
    } rows[] = {
        {0, 0.0f, false, 0, "rec 0:00 [....................] <-60 dB"},
        {7 * second + 47999, 0.5f, false, 0, "rec 0:07 [##################..]   -6 dB"},
        {61 * second, 0.002f, false, 0, "rec 1:01 [##..................]  -54 dB"},
        {3725 * second, 1.0f, true, 0, "rec 1:02:05 [####################]    0 dB  CLIPPING"},
        {12 * second, 2.5f, false, 0, "rec 0:12 [####################]    0 dB"},
        {12 * second, 0.0f, false, 3 * second - 1, "rec 0:12 [....................] <-60 dB"},
        {12 * second, 0.0f, false, 5 * second, "rec 0:12 [....................] <-60 dB  no sound for 5 s"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(status_text(row.samples, row.peak, row.clipping, row.silent), row.text);
    }
}

}  // namespace
