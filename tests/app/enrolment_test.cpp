// Runs enrolment on a scripted source of sound (scripted_source.h); e2e_test_enrolment records through the
// real audio stack.
#include "app/enrolment.h"

#include <gtest/gtest.h>

#include "tests/app/key_pipe.h"
#include "tests/app/scripted_source.h"
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "app/enrolment_prompts.h"

namespace fs = std::filesystem;

namespace {

using Turn = ScriptedSource::Turn;
using Take = ScriptedSource::Take;

const Take heard{.turns = {{.samples = 4800}}};

class Enrolment : public ::testing::Test {
protected:
    fs::path dir = fs::temp_directory_path() / ("enrolment_test_" + std::to_string(::getpid()));
    std::string folder = (dir / "enrolment").string() + "/";
    KeyPipe keys;
    std::ostringstream out;
    ScriptedSource source;
    std::vector<std::string> told;

    void SetUp() override { fs::create_directories(folder); }
    void TearDown() override { fs::remove_all(dir); }
    void type(const std::string& typed) { keys.type(typed); }
    void type_then_hang_up(const std::string& typed) { keys.type_then_hang_up(typed); }
    int run() {
        return run_enrolment({folder, keys.read_end(), out, source,
                              [&](std::string_view message) { told.emplace_back(message); }});
    }
    static std::string contents(const std::string& path) {
        std::ifstream file(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    }
};

// An Enter before any sound is ignored without a word; the sentence goes on.
TEST_F(Enrolment, EachSentenceReadIsATakeAndItsTextAndEndOfInputStops) {
    source.takes = {Take{.turns = {{}, {.samples = 4800, .then = [this] { type_then_hang_up("\n\n"); }}}},
                    heard, heard};
    type("\n");
    EXPECT_EQ(run(), 0);
    EXPECT_TRUE(told.empty()) << testing::PrintToString(told);
    const auto prompts = enrolment_prompts();
    for (const char* stem : {"prompt-01", "prompt-02"}) {
        EXPECT_EQ(fs::file_size(folder + stem + ".wav"), 44u + 2 * 4800) << stem;
    }
    EXPECT_EQ(contents(folder + "prompt-01.txt"), std::string(prompts[0]) + "\n");
    EXPECT_EQ(contents(folder + "prompt-02.txt"), std::string(prompts[1]) + "\n");
    EXPECT_FALSE(fs::exists(folder + "prompt-03.wav"));
    EXPECT_NE(out.str().find("\nStopped; 2 of "), std::string::npos) << out.str();
}

// A run that ended between a sentence's take and its text left the take alone: the sentence is read again
// and its new take replaces that one.
TEST_F(Enrolment, TakeLeftWithoutItsTextIsRecordedAgain) {
    std::ofstream(folder + "prompt-01.wav") << "an unfinished pair's take";
    source.takes = {heard, heard};
    type_then_hang_up("\n");
    EXPECT_EQ(run(), 0);
    EXPECT_TRUE(told.empty()) << testing::PrintToString(told);
    EXPECT_EQ(fs::file_size(folder + "prompt-01.wav"), 44u + 2 * 4800);
    EXPECT_TRUE(fs::exists(folder + "prompt-01.txt"));
}

// The text is what makes the pair count as read: when it can't be written, one line says so and the run
// ends, and nothing is written through a link planted under its name.
TEST_F(Enrolment, TextThatCannotBeWrittenIsToldInOneLine) {
    fs::create_symlink(dir / "elsewhere.txt", folder + "prompt-01.txt");
    source.takes = {heard, heard};
    type_then_hang_up("\n");
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(told, std::vector<std::string>{"cannot write " + folder + "prompt-01.txt: File exists"});
    EXPECT_FALSE(fs::exists(dir / "elsewhere.txt"));
    EXPECT_EQ(source.events, std::vector<std::string>({"start", "seal", "stop"}));
}

// A sentence whose device went away or hangs mid-way is not kept; one that hangs is left open, not waited
// for.
TEST_F(Enrolment, LostDeviceDropsTheSentenceAndEnds) {
    const struct {
        Turn loss;
        const char* closed;
    } rows[] = {{{.goes_away = true}, "stop"}, {{.stalls = true}, "abandon"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.closed);
        source = {};
        source.takes = {Take{.turns = {{.samples = 4800}, row.loss, {}}}};
        told.clear();
        EXPECT_EQ(run(), 1);
        EXPECT_EQ(told, std::vector<std::string>{
                            "audio: the input device stopped delivering sound; sentence 1 was not kept"});
        EXPECT_FALSE(fs::exists(folder + "prompt-01.wav"));
        EXPECT_EQ(source.events, std::vector<std::string>({"start", "seal", row.closed}));
    }
}

}  // namespace
