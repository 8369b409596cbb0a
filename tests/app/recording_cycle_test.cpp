// Runs the cycles against the real audio stack; ctest starts it under the virtual microphone.
#include "app/recording_cycle.h"

#include <gtest/gtest.h>

#include "tests/app/local_time.h"
#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace {

class RecordingCycle : public ::testing::Test {
protected:
    fs::path previous = fs::current_path();
    fs::path dir = fs::temp_directory_path() / ("recording_cycle_test_" + std::to_string(::getpid()));
    int keys[2] = {-1, -1};
    std::ostringstream out;
    std::vector<std::time_t> clock_readings;
    std::vector<std::pair<std::string, std::string>> transcribed;

    void SetUp() override {
        fs::create_directories(dir / "C:/Whisper");
        fs::current_path(dir);
        ASSERT_EQ(pipe(keys), 0);
    }
    void TearDown() override {
        close(keys[0]);
        if (keys[1] >= 0) close(keys[1]);
        fs::current_path(previous);
        fs::remove_all(dir);
    }
    void type_then_hang_up(const std::string& typed) {
        ASSERT_EQ(write(keys[1], typed.data(), typed.size()), ssize_t(typed.size()));
        close(keys[1]);
        keys[1] = -1;
    }
    int run() {
        std::size_t next = 0;
        const CycleSeams seams{keys[0], out, [&] { return clock_readings.at(next++); },
                               [&](const std::string& path, const std::string& stamp) {
                                   transcribed.emplace_back(path, stamp);
                               }};
        return run_recording_cycles(seams);
    }
};

TEST_F(RecordingCycle, TypedLineIsOneTakeAndEndOfInputEndsWithStatusZero) {
    clock_readings = {local_time(2026, 12, 6, 7, 8, 15), local_time(2026, 12, 6, 7, 8, 16)};
    type_then_hang_up("ab\n");
    EXPECT_EQ(run(), 0);

    const std::string first = "C:/Whisper/06-12-2026_07-08-15_output.wav";
    const std::string second = "C:/Whisper/06-12-2026_07-08-16_output.wav";
    EXPECT_EQ(out.str(), std::string(stop_prompt) + "output_path: " + first + "\n" + stop_prompt +
                             "output_path: " + second + "\n");
    // The path and timestamp start afresh in every cycle.
    ASSERT_EQ(transcribed.size(), 2u);
    EXPECT_EQ(transcribed[0], std::make_pair(first, std::string("06-12-2026_07-08-15")));
    EXPECT_EQ(transcribed[1], std::make_pair(second, std::string("06-12-2026_07-08-16")));
    EXPECT_TRUE(fs::exists(first));
    EXPECT_TRUE(fs::exists(second));
}

TEST_F(RecordingCycle, UnwritableTakeIsAnnouncedButNotTranscribed) {
    fs::remove_all(dir / "C:");
    clock_readings = {local_time(2026, 12, 6, 7, 8, 15)};
    type_then_hang_up("");
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(out.str(), std::string(stop_prompt) + "output_path: C:/Whisper/06-12-2026_07-08-15_output.wav\n");
    EXPECT_TRUE(transcribed.empty());
}

}  // namespace
