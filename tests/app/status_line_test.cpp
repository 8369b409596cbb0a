#include "app/status_line.h"

#include <gtest/gtest.h>

#include <limits>
#include <sstream>
#include <string>
#include <vector>

namespace {

TEST(InputMeter, PeakClipAndTrailingSilenceFollowTheSamples) {
    InputMeter meter;
    std::vector<float> samples(1000, 0.0005f);  // below the silence level
    meter.feed(samples.data(), samples.size());
    EXPECT_EQ(meter.reading().silent_samples, 1000u);
    samples[10] = -0.5f;
    samples[400] = 0.25f;
    meter.feed(samples.data(), samples.size());
    EXPECT_EQ(meter.reading().samples, 2000u);
    EXPECT_FLOAT_EQ(meter.reading().peak, 0.5f);
    EXPECT_EQ(meter.reading().silent_samples, 599u);  // after the last loud sample, at 400
    EXPECT_FALSE(meter.reading().clipped);
    meter.start_new_peak();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float clipped_then_nan[] = {-1.0f, nan};
    meter.feed(clipped_then_nan, 2);
    EXPECT_FLOAT_EQ(meter.reading().peak, 1.0f);
    EXPECT_TRUE(meter.reading().clipped);
    EXPECT_EQ(meter.reading().silent_samples, 1u);  // NaN counts as silence
}

TEST(StatusLine, TextShowsTimeBarLevelAndMarks) {
    constexpr std::uint64_t second = 48000;
    EXPECT_EQ(status_text(0, 0.0f, false, 0), "rec 0:00 [....................] <-60 dB");
    EXPECT_EQ(status_text(8 * second - 1, 0.5f, false, 0), "rec 0:07 [##################..]   -6 dB");
    EXPECT_EQ(status_text(3725 * second, 2.5f, true, 0),
              "rec 1:02:05 [####################]    0 dB  CLIPPING");
    EXPECT_EQ(status_text(12 * second, 0.0f, false, 3 * second - 1),
              "rec 0:12 [....................] <-60 dB");
    EXPECT_EQ(status_text(12 * second, 0.0f, false, 5 * second),
              "rec 0:12 [....................] <-60 dB  no sound for 5 s");
}

TEST(StatusLine, AMessageMidTakeGetsARowOfItsOwnAndTheTimeGoesOn) {
    std::ostringstream terminal;
    StatusLine line(terminal, true);
    line.begin_take();
    const std::vector<float> second(48000, 0.0f);
    const auto feed_and_draw = [&](int seconds) {
        for (int i = 0; i < seconds; ++i) line.feed(second.data(), second.size());
        line.redraw_if_due();
    };
    feed_and_draw(2);
    EXPECT_NE(terminal.str().find("rec 0:02 "), std::string::npos) << terminal.str();
    terminal.str("");
    line.make_way();
    // Cleared below the prompt, then the message's row begins under it.
    EXPECT_EQ(terminal.str(),
              "\x1b"
              "7\x1b[B\x1b[2K\x1b"
              "8\n");
    terminal.str("");
    line.resume();
    EXPECT_EQ(terminal.str(), "\n\x1bM");
    terminal.str("");
    feed_and_draw(1);
    EXPECT_NE(terminal.str().find("rec 0:03 "), std::string::npos) << terminal.str();
}

}  // namespace
