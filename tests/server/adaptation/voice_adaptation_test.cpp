#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "app/enrolment_prompts.h"
#include "server/adaptation/adaptation.h"
#include "server/adaptation/adaptation_pairs.h"
#include "server/adaptation/held_back.h"
#include "server/recognition/recognizer.h"
#include "server/adaptation/sendump_converter.h"
#include "server/adaptation/tool_run.h"
#include "server/adaptation/voice_profile.h"

namespace {
namespace fs = std::filesystem;

std::string read_bytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void write_bytes(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

class VoiceFiles : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ =
            fs::temp_directory_path() /
            ("dictate-voice-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    fs::path dir_;
};

const std::string stock_acoustic = server::acoustic_model_dir(server::default_model_dir());

// The training tools quantise the converted weights back into the decoder's dump; only an exact reading
// of the dump's layout and scale gives back the very same bytes.
TEST_F(VoiceFiles, SendumpRoundTripRebuildsTheStockDumpByteForByte) {
    const auto weights = server::read_sendump(stock_acoustic + "/sendump");
    ASSERT_EQ(weights.features, 3u);
    ASSERT_EQ(weights.codewords, 128u);
    const std::string log = (dir_ / "tools.log").string();
    server::write_mixture_weights(weights, (dir_ / "mixture_weights").string());
    server::run_tool("pocketsphinx_mdef_convert",
                     {"-text", stock_acoustic + "/mdef", (dir_ / "mdef.txt").string()}, log);
    server::run_tool(
        server::training_tool("mk_s2sendump"),
        {"-pocketsphinx", "yes", "-moddeffn", (dir_ / "mdef.txt").string(), "-mixwfn",
         (dir_ / "mixture_weights").string(), "-sendumpfn", (dir_ / "sendump").string(), "-mwfloor", "1e-8"},
        log);
    EXPECT_TRUE(read_bytes(dir_ / "sendump") == read_bytes(stock_acoustic + "/sendump"));
}

TEST_F(VoiceFiles, SendumpReaderRefusesDumpsCutShortOrWithImpossibleCounts) {
    const std::string stock = read_bytes(stock_acoustic + "/sendump");
    const std::size_t data = stock.size() - 3 * 128 * 5126;  // where the header ends
    std::string bad_count = stock;
    bad_count.replace(data - 8, 4, std::string(4, '\0'));  // no codewords
    const struct {
        const char* name;
        std::string bytes;
        const char* reason;
    } rows[] = {
        {"short", stock.substr(0, stock.size() - 1), "is cut short"},
        {"header", stock.substr(0, 100), "is cut short"},
        {"count", bad_count, "impossible codeword count (0)"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const fs::path path = dir_ / row.name;
        write_bytes(path, row.bytes);
        try {
            server::read_sendump(path.string());
            ADD_FAILURE() << "read a broken dump";
        } catch (const std::runtime_error& failure) {
            EXPECT_NE(std::string(failure.what()).find(path.string()), std::string::npos) << failure.what();
            EXPECT_NE(std::string(failure.what()).find(row.reason), std::string::npos) << failure.what();
        }
    }
    EXPECT_THROW(server::run_tool("/nonexistent/tool", {}, (dir_ / "log").string()), std::runtime_error);
}

// Only texts a person wrote or checked teach the profile; the recogniser's own output never does.
TEST_F(VoiceFiles, PairsAreTextsAPersonWroteOrCheckedWithTheirTakes) {
    fs::create_directories(dir_ / "takes");
    fs::create_directories(dir_ / "texts");
    for (const char* wav : {"takes/enrol-01.wav", "takes/A_output.wav", "takes/B_output.wav", "takes/C.wav",
                            "takes/D.wav", "takes/E.wav"})
        write_bytes(dir_ / wav, "");
    write_bytes(dir_ / "takes/enrol-01.txt", "Go forward, ten meters!\n");
    write_bytes(dir_ / "texts/A_corrected.txt", "It's well-known.");
    write_bytes(dir_ / "texts/B_transcription.txt", "go forward");
    write_bytes(dir_ / "texts/C.txt", "go xyzzyq forward");
    write_bytes(dir_ / "texts/D.txt", " ... ");
    write_bytes(dir_ / "texts/F.txt", "no take for this one");
    const std::unordered_set<std::string> dictionary{"go",   "forward", "ten",  "meters",
                                                     "it's", "well",    "known"};

    const auto found = server::find_pairs({(dir_ / "texts").string(), (dir_ / "takes").string()}, dictionary);
    ASSERT_EQ(found.pairs.size(), 2u);
    EXPECT_EQ(found.pairs[0].name, "A_corrected");
    EXPECT_EQ(found.pairs[0].wav_path, (dir_ / "takes/A_output.wav").string());
    EXPECT_EQ(found.pairs[0].words, (std::vector<std::string>{"it's", "well", "known"}));
    EXPECT_EQ(found.pairs[1].words, (std::vector<std::string>{"go", "forward", "ten", "meters"}));
    EXPECT_EQ(found.unknown_words, std::vector<std::string>{"C (xyzzyq)"});
    EXPECT_EQ(found.empty_texts, 1u);
}

// Counted errors decide; on a judge too small to trust alone, a win must be a fifth of the errors.
TEST(VoiceAdaptation, KeepsAnAdaptedModelOnlyWhenItMakesFewerErrors) {
    using server::Keep;
    const struct {
        std::size_t before;
        std::optional<std::size_t> adapted;
        bool enough_held_back;
        Keep expected;
    } rows[] = {
        {30, 20, true, Keep::adapted},
        {30, 29, true, Keep::adapted},
        {30, 30, true, Keep::nothing},
        {30, 35, true, Keep::nothing},
        {30, std::nullopt, true, Keep::nothing},
        {0, 0, true, Keep::nothing},
        {30, 24, false, Keep::adapted},
        {30, 25, false, Keep::nothing},
        {5, 4, false, Keep::adapted},
        {4, 4, false, Keep::nothing},
        {1, 0, false, Keep::adapted},
        {30, std::nullopt, false, Keep::nothing},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(server::choose_what_to_keep(row.before, row.adapted, row.enough_held_back), row.expected)
            << row.before << " " << row.adapted.value_or(999) << " " << row.enough_held_back;
    }
}

std::vector<server::TakeSize> takes_of(std::size_t count, double seconds, std::size_t words) {
    return std::vector<server::TakeSize>(count, {seconds, words});
}

// Spread over the name order, whole takes, sentences before single words, a minute and 150 words at least.
TEST(VoiceAdaptation, HoldsBackAMinuteAnd150WordsOfSentencesSpreadOverTheTakes) {
    // 600 s of one- and two-word takes with 120 sentences of 6 words in 3 s among them.
    std::vector<server::TakeSize> takes;
    for (std::size_t i = 0; i < 240; ++i) {
        takes.push_back({1.0, 1 + i % 2});
        if (i % 2 == 1) takes.push_back({3.0, 6});
    }
    const auto held = server::choose_held_back(takes);
    EXPECT_TRUE(held.enough);
    EXPECT_GE(held.seconds, 60.0);
    EXPECT_GE(held.words, 150u);
    EXPECT_EQ(held.takes.size(), 25u);  // the fewest that hold 150 words: the rest is adapted on
    for (const std::size_t i : held.takes) EXPECT_EQ(takes[i].words, 6u) << i;
    ASSERT_GE(held.takes.size(), 2u);
    EXPECT_GE(held.takes.back() - held.takes.front(), takes.size() / 2);  // not a run at one end
    EXPECT_TRUE(std::is_sorted(held.takes.begin(), held.takes.end()));

    // A tenth of the speech when that is more than a minute.
    const auto tenth = server::choose_held_back(takes_of(400, 3.0, 6));
    EXPECT_TRUE(tenth.enough);
    EXPECT_EQ(tenth.takes.size(), 40u);

    // Words are needed as well as seconds: slow speech holds back more takes.
    const auto slow = server::choose_held_back(takes_of(200, 6.0, 3));
    EXPECT_TRUE(slow.enough);
    EXPECT_GE(slow.words, 150u);
    EXPECT_EQ(slow.takes.size(), 50u);

    // Too few sentences: short takes make up the rest.
    std::vector<server::TakeSize> mostly_short = takes_of(300, 1.0, 1);
    mostly_short[10] = {10.0, 40};
    const auto topped_up = server::choose_held_back(mostly_short);
    EXPECT_TRUE(topped_up.enough);
    EXPECT_NE(std::find(topped_up.takes.begin(), topped_up.takes.end(), 10u), topped_up.takes.end());
    EXPECT_GE(topped_up.words, 150u);
    EXPECT_GE(topped_up.seconds, 60.0);
}

// Without a minute to judge by and a minute to adapt on, a tenth of the speech is held back and said to be
// too little.
TEST(VoiceAdaptation, HoldsBackATenthAndSaysSoWhenThereIsTooLittleSpeech) {
    const struct {
        const char* name;
        std::vector<server::TakeSize> takes;
        std::size_t held;
    } rows[] = {
        {"a minute and a half", takes_of(30, 3.0, 6), 3},
        {"few words", takes_of(100, 3.0, 1), 10},
        {"two takes", takes_of(2, 3.0, 6), 1},
        {"the last take too short for a tenth", {{60.0, 6}, {1.0, 6}}, 1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const auto held = server::choose_held_back(row.takes);
        EXPECT_FALSE(held.enough);
        EXPECT_EQ(held.takes.size(), row.held);
        EXPECT_LT(held.takes.size(), row.takes.size());
    }
    // Enough to judge by, but then too little left to adapt on.
    EXPECT_FALSE(server::choose_held_back(takes_of(40, 3.0, 6)).enough);
    server::HeldBackNeeds less_to_train;
    less_to_train.seconds_to_train = 30;
    EXPECT_TRUE(server::choose_held_back(takes_of(40, 3.0, 6), less_to_train).enough);
}

// Enrolment takes whose sentence had a word the recogniser does not know would be skipped, unheard.
TEST(VoiceAdaptation, EnrolmentSentencesUseOnlyDictionaryWords) {
    const auto dictionary =
        server::dictionary_words(server::default_model_dir() + "/en-us/cmudict-en-us.dict");
    std::size_t words = 0;
    for (const char* sentence : enrolment_prompts()) {
        for (const auto& word : server::spoken_words(sentence)) {
            EXPECT_TRUE(dictionary.contains(word)) << word << " in: " << sentence;
            ++words;
        }
    }
    EXPECT_GT(words, 600u);  // about six minutes read aloud
}

}  // namespace
