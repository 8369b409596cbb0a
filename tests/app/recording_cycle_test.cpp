// Runs the cycles against the real audio stack; ctest starts it under the virtual microphone.
#include "app/recording_cycle.h"

#include <gtest/gtest.h>

#include "tests/app/local_time.h"
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <thread>
#include <sstream>
#include <string_view>
#include <utility>
#include <vector>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

class RecordingCycle : public ::testing::Test {
protected:
    fs::path previous = fs::current_path();
    fs::path dir = fs::temp_directory_path() / ("recording_cycle_test_" + std::to_string(::getpid()));
    int keys[2] = {-1, -1};
    std::ostringstream out;
    std::vector<std::time_t> clock_readings;
    std::vector<std::pair<std::string, std::string>> transcribed;
    std::atomic<std::size_t> takes_done{0};    // takes handed to the transcription stage so far
    std::vector<bool> interrupted_first;       // what the stage was told of each
    std::vector<std::string> told;             // the "dictate: " messages, without the prefix
    std::atomic<std::size_t> ignored_told{0};  // of them, those saying an Enter came before any sound
    InterruptSource interrupt{};
    TakePaths paths{};  // the standard ones, under the test's own folder

    void SetUp() override {
        fs::create_directories(dir / "C:/Whisper");
        fs::create_directories(dir / "D:/Whisper");
        fs::current_path(dir);
        ASSERT_EQ(pipe(keys), 0);
    }
    void TearDown() override {
        close(keys[0]);
        if (keys[1] >= 0) close(keys[1]);
        fs::current_path(previous);
        fs::remove_all(dir);
    }
    void type(const std::string& typed) {
        ASSERT_EQ(write(keys[1], typed.data(), typed.size()), ssize_t(typed.size()));
    }
    void close_keys() {
        close(keys[1]);
        keys[1] = -1;
    }
    void type_then_hang_up(const std::string& typed) {
        type(typed);
        close_keys();
    }
    // Waits until the journal of the take named `stamp` in `folder` holds more than `bytes` of sound (at
    // most 20 s).
    static void wait_until_recorded(const std::string& stamp, std::uintmax_t bytes,
                                    const std::string& folder = "C:/Whisper/") {
        const fs::path journal = folder + stamp + "_unfinished_" + std::to_string(getpid()) + ".wav";
        std::error_code ignored;
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while ((fs::file_size(journal, ignored) <= 44 + bytes || ignored) &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(10ms);
        }
    }
    // Presses Enter until take number `take` (from 0) is handed on: a take with no journal to watch for
    // its sound ignores an Enter that comes before any (said once a take), so the key is pressed again.
    void enter_until_kept(std::size_t take) {
        const std::size_t ignored_before = ignored_told.load();
        type("\n");
        auto deadline = std::chrono::steady_clock::now() + 20s;
        while (takes_done.load() <= take && ignored_told.load() == ignored_before &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(10ms);
        for (int tries = 0; takes_done.load() <= take && tries < 50; ++tries) {
            std::this_thread::sleep_for(100ms);
            type("\n");
            deadline = std::chrono::steady_clock::now() + 5s;
            while (takes_done.load() <= take && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(10ms);
        }
    }
    std::thread hang_up_once_recorded(const std::string& stamp, std::uintmax_t bytes) {
        return std::thread([this, stamp, bytes] {
            wait_until_recorded(stamp, bytes);
            close_keys();
        });
    }
    // Presses Enter once in each of the takes named `stamps` when it has sound (as a person does after
    // speaking), then ends input once the take after them has sound too.
    std::thread enter_once_recorded(std::vector<std::string> stamps, std::string last_stamp) {
        return std::thread([this, stamps, last_stamp] {
            for (std::size_t i = 0; i < stamps.size(); ++i) {
                const auto deadline = std::chrono::steady_clock::now() + 20s;
                while (takes_done.load() < i && std::chrono::steady_clock::now() < deadline)
                    std::this_thread::sleep_for(10ms);
                wait_until_recorded(stamps[i], 0);
                type("\n");
            }
            const auto deadline = std::chrono::steady_clock::now() + 20s;
            while (takes_done.load() < stamps.size() && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(10ms);
            wait_until_recorded(last_stamp, 0);
            close_keys();
        });
    }
    int run() {
        std::size_t next = 0;
        const CycleSeams seams{keys[0],
                               out,
                               [&] { return clock_readings.at(next++); },
                               [&](const std::string& path, const std::string& stamp, bool interrupted,
                                   std::unique_ptr<transcription::StreamingUpload>) {
                                   transcribed.emplace_back(path, stamp);
                                   interrupted_first.push_back(interrupted);
                                   ++takes_done;
                               },
                               [&](std::string_view message) {
                                   told.emplace_back(message);
                                   if (message.starts_with("ignored Enter")) ++ignored_told;
                               },
                               interrupt,
                               nullptr,
                               nullptr,
                               paths,
                               {}};
        return run_recording_cycles(seams);
    }
};

TEST_F(RecordingCycle, TypedLineIsOneTakeAndEndOfInputEndsWithStatusZero) {
    clock_readings = {local_time(2026, 12, 6, 7, 8, 15), local_time(2026, 12, 6, 7, 8, 16)};
    // Each key once its take has sound; input ends once the second take has sound, so it is kept too. One
    // thread does both, in order: the order is kept through the files, which no race detector sees.
    std::thread typist([this] {
        wait_until_recorded("06-12-2026_07-08-15", 0);
        type("ab\n");
        wait_until_recorded("06-12-2026_07-08-16", 0);
        close_keys();
    });
    const int status = run();
    typist.join();
    EXPECT_EQ(status, 0);

    const std::string first = "C:/Whisper/06-12-2026_07-08-15_output.wav";
    const std::string second = "C:/Whisper/06-12-2026_07-08-16_output.wav";
    EXPECT_EQ(out.str(), std::string(stop_prompt) + "output_path: " + first + "\n" + stop_prompt +
                             "output_path: " + second + "\n");
    // The path and timestamp start afresh in every cycle.
    ASSERT_EQ(transcribed.size(), 2u);
    EXPECT_EQ(transcribed[0], std::make_pair(first, std::string("06-12-2026_07-08-15")));
    EXPECT_EQ(transcribed[1], std::make_pair(second, std::string("06-12-2026_07-08-16")));
    EXPECT_EQ(interrupted_first, std::vector<bool>({false, false}));
    EXPECT_TRUE(fs::exists(first));
    EXPECT_TRUE(fs::exists(second));
    for (const auto& entry : fs::directory_iterator("C:/Whisper")) {
        EXPECT_EQ(entry.path().string().find("_unfinished_"), std::string::npos) << entry.path();
    }
}

TEST_F(RecordingCycle, TakesInOneSecondNeverReplaceEachOtherOrAnEarlierTranscript) {
    const auto second = local_time(2026, 12, 6, 7, 8, 15);
    clock_readings = {second, second, second, second};
    fs::create_directories("D:/Whisper");
    std::ofstream("C:/Whisper/06-12-2026_07-08-15_output.wav") << "an earlier run's take";
    std::ofstream("D:/Whisper/06-12-2026_07-08-15_2_transcription.txt") << "an earlier run's text";
    const std::string stamp = "06-12-2026_07-08-15";
    std::thread typist = enter_once_recorded({stamp, stamp}, stamp);
    EXPECT_EQ(run(), 0);
    typist.join();
    const std::vector<std::string> stems = {"06-12-2026_07-08-15_3", "06-12-2026_07-08-15_4",
                                            "06-12-2026_07-08-15_5"};
    ASSERT_EQ(transcribed.size(), 3u);
    for (std::size_t i = 0; i < stems.size(); ++i) {
        EXPECT_EQ(transcribed[i], std::make_pair("C:/Whisper/" + stems[i] + "_output.wav", stems[i]));
        EXPECT_TRUE(fs::exists(transcribed[i].first));
    }
    std::string kept;
    std::getline(std::ifstream("C:/Whisper/06-12-2026_07-08-15_output.wav"), kept);
    EXPECT_EQ(kept, "an earlier run's take");
}

TEST_F(RecordingCycle, TakesAndTheirNamesFollowThePathsPassedIn) {
    // Without the standard folders, a module that still looked there would say so or fail.
    fs::remove_all(dir / "C:");
    fs::remove_all(dir / "D:");
    paths.wav_folder = (dir / "takes").string() + "/";
    paths.transcript_folder = (dir / "texts").string() + "/";
    paths.wav_suffix = ".wav";
    paths.transcript_suffix = ".txt";
    fs::create_directories(dir / "takes");
    fs::create_directories(dir / "texts");
    std::ofstream(dir / "texts/06-12-2026_07-08-15.txt") << "an earlier run's text";
    clock_readings = {local_time(2026, 12, 6, 7, 8, 15)};
    std::thread hang_up([this] {
        wait_until_recorded("06-12-2026_07-08-15", 0, paths.wav_folder);
        close_keys();
    });
    EXPECT_EQ(run(), 0);
    hang_up.join();
    const std::string take = paths.wav_folder + "06-12-2026_07-08-15_2.wav";
    EXPECT_EQ(out.str(), std::string(stop_prompt) + "output_path: " + take + "\n");
    ASSERT_EQ(transcribed.size(), 1u);
    EXPECT_EQ(transcribed[0], std::make_pair(take, std::string("06-12-2026_07-08-15_2")));
    EXPECT_TRUE(fs::is_regular_file(take));
    EXPECT_TRUE(told.empty()) << testing::PrintToString(told);
}

TEST_F(RecordingCycle, EndOfInputBeforeAnySoundMakesNoTake) {
    clock_readings = {local_time(2026, 12, 6, 7, 8, 15)};
    type_then_hang_up("");
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(out.str(), stop_prompt);
    EXPECT_TRUE(transcribed.empty());
    EXPECT_EQ(fs::directory_iterator("C:/Whisper"), fs::directory_iterator());
}

TEST_F(RecordingCycle, MissingTakeFolderIsToldAtStartAndTheTakeKeptElsewhereAndTranscribed) {
    fs::remove_all(dir / "C:");
    fs::create_directories(dir / "tmp");
    ASSERT_EQ(setenv("TMPDIR", (dir / "tmp").c_str(), 1), 0);
    clock_readings = {local_time(2026, 12, 6, 7, 8, 15), local_time(2026, 12, 6, 7, 8, 16),
                      local_time(2026, 12, 6, 7, 8, 17)};
    std::thread hang_up([&] {
        // Two takes ended by Enter; input ends in the third, which is kept only if sound reached it.
        enter_until_kept(0);
        enter_until_kept(1);
        close_keys();
    });
    const int status = run();
    hang_up.join();
    unsetenv("TMPDIR");
    EXPECT_EQ(status, 0);
    ASSERT_GE(transcribed.size(), 2u) << testing::PrintToString(told);
    const std::string kept = transcribed[0].first;
    EXPECT_EQ(fs::path(kept).parent_path().parent_path(), dir / "tmp");
    EXPECT_EQ(fs::path(kept).filename(), "06-12-2026_07-08-15_output.wav");
    EXPECT_EQ(transcribed[0].second, "06-12-2026_07-08-15");
    EXPECT_TRUE(fs::is_regular_file(kept));
    EXPECT_EQ(out.str().rfind(std::string(stop_prompt) + "output_path: " + kept + "\n" + stop_prompt, 0), 0u);
    std::erase_if(told, [](const std::string& message) { return message.starts_with("ignored Enter"); });
    ASSERT_EQ(told.size(), 1 + transcribed.size()) << testing::PrintToString(told);
    EXPECT_EQ(told[0].rfind("the folder C:/Whisper does not exist: create it", 0), 0u) << told[0];
    EXPECT_EQ(told[1],
              "could not write the recording to C:/Whisper/06-12-2026_07-08-15_output.wav: No such "
              "file or directory; none of the take's " +
                  told[1].substr(told[1].find("take's ") + 7, 5) +
                  " is there; the whole take is kept instead as " + kept);
}

// Enter pressed before the take holds a single sample (twice, as a key bounced or held down): neither
// ends it, since an empty take would be an empty file and an upload for nothing; one line says so.
TEST_F(RecordingCycle, EnterBeforeAnySoundIsIgnoredAndTheTakeGoesOn) {
    clock_readings = {local_time(2026, 12, 6, 7, 8, 15)};
    type("\n\n");
    std::thread hang_up = hang_up_once_recorded("06-12-2026_07-08-15", 2 * 4800);
    const int status = run();
    hang_up.join();
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out.str(),
              std::string(stop_prompt) + "output_path: C:/Whisper/06-12-2026_07-08-15_output.wav\n");
    EXPECT_EQ(transcribed.size(), 1u);
    EXPECT_EQ(told,
              std::vector<std::string>{"ignored Enter: no sound had been recorded yet; the take goes on"});
}

// The virtual microphone hears nothing but silence.
TEST_F(RecordingCycle, SilentTakeOfHalfASecondOrMoreIsCalledSilent) {
    clock_readings = {local_time(2026, 12, 6, 7, 8, 15)};
    std::thread hang_up = hang_up_once_recorded("06-12-2026_07-08-15", 2 * 36000);  // 0.75 s
    const int status = run();
    hang_up.join();
    EXPECT_EQ(status, 0);
    ASSERT_EQ(told.size(), 1u);
    EXPECT_EQ(
        told[0],
        "the take C:/Whisper/06-12-2026_07-08-15_output.wav is silent: the input device may be the wrong "
        "one, or muted (dictate --list-devices shows the others)");
}

TEST_F(RecordingCycle, InterruptEndsTheTakeWhichIsStillKeptAndTranscribed) {
    clock_readings = {local_time(2026, 12, 6, 7, 8, 15)};
    int stop[2];
    ASSERT_EQ(pipe(stop), 0);
    std::atomic<bool> asked = false;
    interrupt = {stop[0], [&] { return asked.load(); }, [] { return 130; }};
    std::thread press_ctrl_c([&] {
        // Once the take has sound, as a person's Ctrl-C after speaking.
        wait_until_recorded("06-12-2026_07-08-15", 0);
        asked = true;
        ASSERT_EQ(write(stop[1], "!", 1), 1);
    });
    const int status = run();
    press_ctrl_c.join();
    close(stop[0]);
    close(stop[1]);
    EXPECT_EQ(status, 130);
    const std::string take = "C:/Whisper/06-12-2026_07-08-15_output.wav";
    EXPECT_EQ(out.str(), std::string(stop_prompt) + "output_path: " + take + "\n");
    ASSERT_EQ(transcribed.size(), 1u);
    EXPECT_EQ(transcribed[0].first, take);
    // The stage is told that this interrupt asked for the take to be finished, not to stop its upload.
    EXPECT_EQ(interrupted_first, std::vector<bool>{true});
    EXPECT_TRUE(told.empty());
}

}  // namespace
