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

TEST(StatusLine, WordsThatFitAreTheEndOfTheTextFromAWholeWord) {
    EXPECT_EQ(words_that_fit("short text", 79), "short text");
    EXPECT_EQ(words_that_fit("one two three four", 12), "three four");  // "e three four" cut mid-word
    EXPECT_EQ(words_that_fit("one two three four", 11), "three four");  // cut just after a space
    EXPECT_EQ(words_that_fit("unbrokenwordsonly", 5), "sonly");         // no space left to start from
    // Characters, not bytes, and two columns for a wide one: never more than the row holds.
    EXPECT_EQ(words_that_fit("caf\xc3\xa9 au lait", 12), "caf\xc3\xa9 au lait");
    EXPECT_EQ(words_that_fit("caf\xc3\xa9 au lait", 11), "au lait");
    EXPECT_EQ(words_that_fit("\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e", 5), "\xe6\x9c\xac\xe8\xaa\x9e");
    EXPECT_EQ(words_that_fit("x \xf0\x9f\x98\x80", 2), "\xf0\x9f\x98\x80");
    EXPECT_EQ(words_that_fit("", 10), "");
}

// The words have a row of their own under the time and level: made before the prompt, drawn escaped with
// the line, and cleared with it when the take ends.
TEST(StatusLine, WordsRowIsMadeDrawnEscapedAndCleared) {
    std::ostringstream terminal;
    StatusLine line(terminal, false);
    line.begin_take(true);
    EXPECT_EQ(terminal.str(), "\n\n\x1bM\x1bM");
    terminal.str("");
    line.show_words("said\x1b[2J so\nfar\x9b");
    line.redraw_if_due();
    const std::string drawn = terminal.str();
    const std::string words_row =
        "\x1b"
        "7\x1b[B\x1b[B\rsaid\\x1b[2J so far\\x9b\x1b[K\x1b"
        "8";
    EXPECT_NE(drawn.find(words_row), std::string::npos) << drawn;
    EXPECT_EQ(drawn.find("\x1b[2J"), std::string::npos);
    terminal.str("");
    line.end_take(false);
    EXPECT_EQ(terminal.str(),
              "\x1b"
              "7\x1b[B\x1b[2K\x1b[B\x1b[2K\x1b"
              "8");

    // A take without live words has the one row it always had, and words are not drawn.
    terminal.str("");
    line.begin_take();
    line.show_words("unseen");
    line.redraw_if_due();
    line.end_take(false);
    EXPECT_EQ(terminal.str().find("unseen"), std::string::npos);
    EXPECT_EQ(terminal.str().find("\x1b[B\x1b[B"), std::string::npos) << terminal.str();
}

}  // namespace
