// Runs the cycles on a scripted source of sound (scripted_source.h); the end-to-end tests record through the
// real audio stack.
#include "app/recording_cycle.h"

#include <gtest/gtest.h>

#include "tests/app/local_time.h"
#include "tests/app/key_pipe.h"
#include "tests/app/scripted_source.h"
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string_view>
#include <utility>
#include <vector>

#include "app/take_file.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

using Turn = ScriptedSource::Turn;
using Take = ScriptedSource::Take;

// A tenth of a second of sound, there as the take starts.
const Take heard{.turns = {{.samples = 4800}}};

class RecordingCycle : public ::testing::Test {
protected:
    fs::path previous = fs::current_path();
    fs::path dir = fs::temp_directory_path() / ("recording_cycle_test_" + std::to_string(::getpid()));
    KeyPipe keys;
    std::ostringstream out;
    std::vector<std::time_t> clock_readings;
    ScriptedSource source;
    std::vector<std::pair<std::string, std::string>> transcribed;
    std::vector<bool> interrupted_first;  // what the stage was told of each
    std::vector<std::string> told;        // the "dictate: " messages, without the prefix
    InterruptSource interrupt{};
    TakePaths paths{};  // the standard ones, under the test's own folder
    std::uint64_t pause_ends_after = 0;

    void SetUp() override {
        fs::create_directories(dir / "C:/Whisper");
        fs::create_directories(dir / "D:/Whisper");
        fs::current_path(dir);
    }
    void TearDown() override {
        fs::current_path(previous);
        fs::remove_all(dir);
    }
    void type(const std::string& typed) { keys.type(typed); }
    void close_keys() { keys.hang_up(); }
    void type_then_hang_up(const std::string& typed) { keys.type_then_hang_up(typed); }
    int run() {
        std::size_t next = 0;
        const CycleSeams seams{keys.read_end(),
                               out,
                               [&] { return clock_readings.at(next++); },
                               [&](const std::string& path, const std::string& stamp, bool interrupted,
                                   std::unique_ptr<transcription::StreamingUpload>) {
                                   transcribed.emplace_back(path, stamp);
                                   interrupted_first.push_back(interrupted);
                                   source.events.emplace_back("transcribe");
                               },
                               [&](std::string_view message) { told.emplace_back(message); },
                               interrupt,
                               source,
                               nullptr,
                               paths,
                               {},
                               pause_ends_after};
        return run_recording_cycles(seams);
    }
};

TEST_F(RecordingCycle, TypedLineIsOneTakeAndEndOfInputEndsWithStatusZero) {
    clock_readings = {local_time(2026, 12, 6, 7, 8, 15), local_time(2026, 12, 6, 7, 8, 16)};
    source.takes = {heard, heard};
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
    EXPECT_EQ(interrupted_first, std::vector<bool>({false, false}));
    EXPECT_EQ(fs::file_size(first), 44u + 2 * 4800);
    EXPECT_EQ(fs::file_size(second), 44u + 2 * 4800);
    for (const auto& entry : fs::directory_iterator("C:/Whisper")) {
        EXPECT_EQ(entry.path().string().find("_unfinished_"), std::string::npos) << entry.path();
    }
    // One source at a time: each take's is closed before the next starts.
    EXPECT_EQ(source.events, std::vector<std::string>({"start", "seal", "transcribe", "stop", "start", "seal",
                                                       "transcribe", "stop"}));
    EXPECT_TRUE(told.empty()) << testing::PrintToString(told);
}

TEST_F(RecordingCycle, TakesInOneSecondNeverReplaceEachOtherOrAnEarlierTranscript) {
    const auto second = local_time(2026, 12, 6, 7, 8, 15);
    clock_readings = {second, second, second};
    source.takes = {heard, heard, heard};
    std::ofstream("C:/Whisper/06-12-2026_07-08-15_output.wav") << "an earlier run's take";
    std::ofstream("D:/Whisper/06-12-2026_07-08-15_2_transcription.txt") << "an earlier run's text";
    type_then_hang_up("\n\n");
    EXPECT_EQ(run(), 0);
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
    source.takes = {heard};
    close_keys();
    EXPECT_EQ(run(), 0);
    const std::string take = paths.wav_folder + "06-12-2026_07-08-15_2.wav";
    EXPECT_EQ(out.str(), std::string(stop_prompt) + "output_path: " + take + "\n");
    ASSERT_EQ(transcribed.size(), 1u);
    EXPECT_EQ(transcribed[0], std::make_pair(take, std::string("06-12-2026_07-08-15_2")));
    EXPECT_TRUE(fs::is_regular_file(take));
    EXPECT_TRUE(told.empty()) << testing::PrintToString(told);
}

TEST_F(RecordingCycle, EndOfInputBeforeAnySoundMakesNoTake) {
    clock_readings = {local_time(2026, 12, 6, 7, 8, 15)};
    source.takes = {Take{.turns = {Turn{}}}};
    close_keys();
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(out.str(), stop_prompt);
    EXPECT_TRUE(transcribed.empty());
    EXPECT_EQ(fs::directory_iterator("C:/Whisper"), fs::directory_iterator());
    EXPECT_EQ(source.events, std::vector<std::string>({"start", "seal", "stop"}));
}

TEST_F(RecordingCycle, MissingTakeFolderIsToldAtStartAndTheTakeKeptElsewhereAndTranscribed) {
    fs::remove_all(dir / "C:");
    fs::create_directories(dir / "tmp");
    ASSERT_EQ(setenv("TMPDIR", (dir / "tmp").c_str(), 1), 0);
    clock_readings = {local_time(2026, 12, 6, 7, 8, 15), local_time(2026, 12, 6, 7, 8, 16),
                      local_time(2026, 12, 6, 7, 8, 17)};
    source.takes = {heard, heard, heard};
    // Two takes ended by Enter, the third by the end of input.
    type_then_hang_up("\n\n");
    const int status = run();
    unsetenv("TMPDIR");
    EXPECT_EQ(status, 0);
    ASSERT_EQ(transcribed.size(), 3u) << testing::PrintToString(told);
    const std::string kept = transcribed[0].first;
    EXPECT_EQ(fs::path(kept).parent_path().parent_path(), dir / "tmp");
    EXPECT_EQ(fs::path(kept).filename(), "06-12-2026_07-08-15_output.wav");
    EXPECT_EQ(transcribed[0].second, "06-12-2026_07-08-15");
    EXPECT_TRUE(fs::is_regular_file(kept));
    EXPECT_EQ(out.str().rfind(std::string(stop_prompt) + "output_path: " + kept + "\n" + stop_prompt, 0), 0u);
    ASSERT_EQ(told.size(), 1 + transcribed.size()) << testing::PrintToString(told);
    EXPECT_EQ(told[0].rfind("the folder C:/Whisper does not exist: create it", 0), 0u) << told[0];
    EXPECT_EQ(told[1],
              "could not write the recording to C:/Whisper/06-12-2026_07-08-15_output.wav: No such "
              "file or directory; none of the take's 0.1 s is there; the whole take is kept instead as " +
                  kept);
}

// Enter pressed before the take holds a single sample (twice, as a key bounced or held down): neither
// ends it, since an empty take would be an empty file and an upload for nothing; one line says so.
TEST_F(RecordingCycle, EnterBeforeAnySoundIsIgnoredAndTheTakeGoesOn) {
    clock_readings = {local_time(2026, 12, 6, 7, 8, 15)};
    source.takes = {Take{.turns = {Turn{}, Turn{.samples = 4800, .then = [this] { close_keys(); }}}}};
    type("\n\n");
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(out.str(),
              std::string(stop_prompt) + "output_path: C:/Whisper/06-12-2026_07-08-15_output.wav\n");
    EXPECT_EQ(transcribed.size(), 1u);
    EXPECT_EQ(told,
              std::vector<std::string>{"ignored Enter: no sound had been recorded yet; the take goes on"});
}

// Half a second of silence or more is judged; less is mostly a key pressed twice.
TEST_F(RecordingCycle, SilentTakeOfHalfASecondOrMoreIsCalledSilent) {
    clock_readings = {local_time(2026, 12, 6, 7, 8, 15), local_time(2026, 12, 6, 7, 8, 16),
                      local_time(2026, 12, 6, 7, 8, 17)};
    source.takes = {Take{.turns = {{.samples = 24000, .value = 0}}},
                    Take{.turns = {{.samples = 23999, .value = 0}}},
                    Take{.turns = {{.samples = 48000, .value = 0.002f}}}};
    type_then_hang_up("\n\n");
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(transcribed.size(), 3u);
    EXPECT_EQ(told,
              std::vector<std::string>{
                  "the take C:/Whisper/06-12-2026_07-08-15_output.wav is silent: the input device may be "
                  "the wrong one, or muted (dictate --list-devices shows the others)"});
}

TEST_F(RecordingCycle, InterruptEndsTheTakeWhichIsStillKeptAndTranscribed) {
    clock_readings = {local_time(2026, 12, 6, 7, 8, 15)};
    int stop[2];
    ASSERT_EQ(pipe(stop), 0);
    bool asked = false;
    interrupt = {stop[0], [&] { return asked; }, [] { return 130; }};
    // Once the take has sound, as a person's Ctrl-C after speaking.
    const auto press_ctrl_c = [&] {
        asked = true;
        ASSERT_EQ(write(stop[1], "!", 1), 1);
    };
    source.takes = {Take{.turns = {{.samples = 4800}, {.then = press_ctrl_c}}}};
    const int status = run();
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

// A device that goes away or hangs ends the run with status 1, after the take so far has its text; one
// that hangs is never waited for, so it is left open rather than closed.
TEST_F(RecordingCycle, LostDeviceEndsTheRunOnceItsTakeIsTranscribed) {
    const struct {
        Turn loss;
        const char* closed;
    } rows[] = {{{.goes_away = true}, "stop"}, {{.stalls = true}, "abandon"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.closed);
        fs::remove_all("C:/Whisper");
        fs::create_directories("C:/Whisper");
        clock_readings = {local_time(2026, 12, 6, 7, 8, 15)};
        source = {};
        source.takes = {Take{.turns = {{.samples = 4800}, row.loss, {}}}};
        transcribed.clear();
        told.clear();
        out.str("");
        EXPECT_EQ(run(), 1);
        const std::string take = "C:/Whisper/06-12-2026_07-08-15_output.wav";
        EXPECT_EQ(out.str(), std::string(stop_prompt) + "output_path: " + take + "\n");
        EXPECT_EQ(fs::file_size(take), 44u + 2 * 4800);
        EXPECT_EQ(told,
                  std::vector<std::string>{
                      "audio: the input device stopped delivering sound; the take so far is in " + take});
        EXPECT_EQ(source.events, std::vector<std::string>({"start", "seal", "transcribe", row.closed}));
    }
}

TEST_F(RecordingCycle, TimeTheProcessDidNotRunIsToldAndTheTakeGoesOn) {
    clock_readings = {local_time(2026, 12, 6, 7, 8, 15)};
    source.takes = {Take{.turns = {{.samples = 4800},
                                   {.samples = 4800, .paused = 2500ms},
                                   {.samples = 4800, .then = [this] { close_keys(); }}}}};
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(told, std::vector<std::string>{pause_told("dictate", 2500ms, "the take")});
    ASSERT_EQ(transcribed.size(), 1u);
    EXPECT_EQ(fs::file_size(transcribed[0].first), 44u + 2 * 3 * 4800);
}

TEST_F(RecordingCycle, SourceThatFailsToStartIsToldAndLeavesNothing) {
    clock_readings = {local_time(2026, 12, 6, 7, 8, 15)};
    source.takes = {Take{.start_failure = AudioFailure{"Pa_OpenDefaultStream", "Device unavailable"}}};
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(out.str(), "");
    EXPECT_EQ(told, std::vector<std::string>{"audio: Pa_OpenDefaultStream failed: Device unavailable"});
    EXPECT_EQ(fs::directory_iterator("C:/Whisper"), fs::directory_iterator());
}

// The take is kept and transcribed first; then the run ends, since the next take's start would fail too.
TEST_F(RecordingCycle, SourceThatFailsToCloseEndsTheRunAfterItsTake) {
    clock_readings = {local_time(2026, 12, 6, 7, 8, 15)};
    source.takes = {Take{.turns = {{.samples = 4800}},
                         .stop_failure = AudioFailure{"Pa_CloseStream", "Input/output error"}}};
    type("\n");
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(transcribed.size(), 1u);
    EXPECT_EQ(told, std::vector<std::string>{"audio: Pa_CloseStream failed: Input/output error"});
    EXPECT_EQ(source.events, std::vector<std::string>({"start", "seal", "transcribe", "stop"}));
}

}  // namespace

namespace {

// A take's file size once it holds `samples`.
std::uintmax_t wav_size(std::size_t samples) { return 44u + 2 * samples; }

constexpr float voice = 0.25f;
constexpr float room = 0.0005f;  // a quiet room, below -60 dBFS

}  // namespace

// In the take's own time: a pause is counted in samples, whatever the turns of the main thread.
TEST_F(RecordingCycle, SpeechThenAPauseEndsTheTakeAndTheNextOneStarts) {
    pause_ends_after = 48000;  // one second
    clock_readings = {local_time(2026, 12, 6, 7, 8, 15), local_time(2026, 12, 6, 7, 8, 16),
                      local_time(2026, 12, 6, 7, 8, 17), local_time(2026, 12, 6, 7, 8, 18)};
    source.takes = {
        // Speech from the take's first sample: the floor is only learnt in the pause.
        {.turns = {{.samples = 24000, .value = voice},
                   {.samples = 47520, .value = room},  // 10 ms short of the pause
                   {.samples = 480, .value = room}}},
        // Room noise first; a word inside the pause starts it again.
        {.turns = {{.samples = 4800, .value = room},
                   {.samples = 24000, .value = voice},
                   {.samples = 24000, .value = room},
                   {.samples = 960, .value = voice},  // too short for speech, but not quiet
                   {.samples = 47520, .value = room},
                   {.samples = 480, .value = room}}},
        // Enter still ends a take at once, in the middle of speech.
        {.turns = {{.samples = 4800, .value = voice, .then = [&] { type_then_hang_up("\n"); }}}},
        heard,
    };
    EXPECT_EQ(run(), 0);

    ASSERT_EQ(transcribed.size(), 4u);
    EXPECT_EQ(fs::file_size(transcribed[0].first), wav_size(24000 + 48000));
    EXPECT_EQ(fs::file_size(transcribed[1].first), wav_size(4800 + 24000 + 24000 + 960 + 48000));
    EXPECT_EQ(fs::file_size(transcribed[2].first), wav_size(4800));
    // The row the prompt began is ended, as the Enter typed would have ended it.
    const std::string prompt = stop_prompt;
    const std::string output = out.str();
    EXPECT_EQ(output.substr(0, prompt.size() + 1), prompt + "\n") << output;
    EXPECT_NE(output.find("_07-08-15_output.wav\n" + prompt + "\noutput_path: "), std::string::npos)
        << output;
    EXPECT_NE(output.find(prompt + "output_path: C:/Whisper/06-12-2026_07-08-17"), std::string::npos)
        << output;
    EXPECT_TRUE(told.empty()) << testing::PrintToString(told);
}

// Each of these takes ends only with the key typed in its last turn, every sample of it in the file: a take
// that ended by itself would have been over before that turn.
TEST_F(RecordingCycle, ATakeWithoutSpeechNeverEndsByItself) {
    pause_ends_after = 4800;  // a tenth of a second
    clock_readings = {local_time(2026, 12, 6, 7, 8, 15), local_time(2026, 12, 6, 7, 8, 16),
                      local_time(2026, 12, 6, 7, 8, 17)};
    const Turn enter{.samples = 480, .value = 0.0f, .then = [&] { type("\n"); }};
    // A noisy room, loud and restless but never far above its own floor.
    std::vector<Turn> noisy;
    for (int i = 0; i < 20; ++i) noisy.push_back({.samples = 4800, .value = i % 2 == 0 ? 0.005f : 0.015f});
    noisy.push_back(enter);
    source.takes = {
        {.turns = noisy},
        // Digital silence, and a click in it too short to be speech.
        {.turns = {{.samples = 48000, .value = 0.0f},
                   {.samples = 2400, .value = voice},
                   {.samples = 48000, .value = 0.0f},
                   enter}},
        // Faint sounds far above a very quiet room, yet below any voice.
        {.turns = {{.samples = 4800, .value = 0.0001f},
                   {.samples = 48000, .value = 0.008f},
                   {.samples = 48000, .value = 0.0001f},
                   {.samples = 480, .value = 0.0001f, .then = [&] { close_keys(); }}}},
    };
    EXPECT_EQ(run(), 0);

    ASSERT_EQ(transcribed.size(), 3u);
    EXPECT_EQ(fs::file_size(transcribed[0].first), wav_size(20 * 4800 + 480));
    EXPECT_EQ(fs::file_size(transcribed[1].first), wav_size(48000 + 2400 + 48000 + 480));
    EXPECT_EQ(fs::file_size(transcribed[2].first), wav_size(4800 + 48000 + 48000 + 480));
}
