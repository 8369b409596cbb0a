#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "app/enrolment_prompts.h"
#include "server/adaptation/adaptation.h"
#include "server/adaptation/adaptation_pairs.h"
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

TEST(VoiceAdaptation, KeepsAnAdaptedModelOnlyWhenItMakesFewerErrors) {
    using server::Keep;
    const struct {
        double before;
        std::optional<double> adapted;
        bool has_profile;
        bool enough_for_mean;
        Keep expected;
    } rows[] = {
        {30.0, 20.0, false, true, Keep::adapted},        {30.0, 29.9, true, true, Keep::adapted},
        {30.0, 30.0, true, true, Keep::nothing},         {30.0, 35.0, false, true, Keep::mean_only},
        {30.0, 35.0, false, false, Keep::nothing},       {30.0, std::nullopt, false, true, Keep::mean_only},
        {30.0, std::nullopt, true, true, Keep::nothing},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(server::choose_what_to_keep(row.before, row.adapted, row.has_profile, row.enough_for_mean),
                  row.expected)
            << row.before << " " << row.adapted.value_or(-1) << " " << row.has_profile << row.enough_for_mean;
    }
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
