#include "server/recognition/word_list.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "server/recognition/recognizer.h"
#include "server/recognition/user_words.h"
#include "server/recognition/word_sounds.h"

namespace {

namespace fs = std::filesystem;

TEST(WordList, ReadsEntriesSaidFormsAndComments) {
    const auto list = server::parse_word_list(
        "# my words\n"
        "Ansible\n"
        "\n"
        "  New   York Times  # a paper\n"
        "SQLite = Sequel  light\r\n"
        "C# is not a comment here, but the # after a space is\n"
        "n8n\n",
        "words.txt");
    ASSERT_EQ(list.words.size(), 4u);
    EXPECT_EQ(list.words[0].written, "Ansible");
    EXPECT_TRUE(list.words[0].said.empty());
    EXPECT_EQ(list.words[0].line, 2u);
    EXPECT_EQ(list.words[1].written, "New York Times");
    EXPECT_EQ(list.words[2].written, "SQLite");
    EXPECT_EQ(list.words[2].said, (std::vector<std::string>{"sequel", "light"}));
    EXPECT_EQ(list.words[3].written, "n8n");
    EXPECT_EQ(list.words[3].line, 7u);
    // "C#" holds a character no entry may: told, not taken as "C".
    ASSERT_EQ(list.problems.size(), 1u);
    EXPECT_EQ(list.problems[0].rfind("words.txt:6: the character '#'", 0), 0u) << list.problems[0];
}

TEST(WordList, EachUnusableLineIsToldWithItsNumberAndSkipped) {
    const auto list = server::parse_word_list(
        "2024\n"
        "Kubernetes\n"
        "under_score\n"
        "Müller\n"
        "Nginx = engine x2\n"
        "Grafana =\n"
        "kubernetes\n"
        "Kubernetes\n"
        "Okonkwo\n",
        "/home/me/words.txt");
    std::vector<std::string> written;
    for (const auto& word : list.words) written.push_back(word.written);
    EXPECT_EQ(written, (std::vector<std::string>{"Kubernetes", "kubernetes", "Okonkwo"}));
    EXPECT_EQ(list.problems,
              (std::vector<std::string>{
                  "/home/me/words.txt:1: no letters; skipped",
                  "/home/me/words.txt:3: the character '_' (an entry holds letters, digits, "
                  "spaces and - ' . & +); skipped",
                  "/home/me/words.txt:4: the character '\\xc3' (an entry holds letters, digits, "
                  "spaces and - ' . & +); skipped",
                  "/home/me/words.txt:5: the said word \"x2\" (say it in words of letters); skipped",
                  "/home/me/words.txt:6: nothing after \"=\"; skipped",
                  "/home/me/words.txt:8: \"Kubernetes\" is listed already on line 2; skipped",
              }));
}

// A dictionary and a letter-to-sound guess small enough to know what each entry must be said as.
const server::Pronunciations dictionary{
    {"torch", {"T AO R CH"}},
    {"sequel", {"S IY K W AH L"}},
    {"light", {"L AY T"}},
    {"new", {"N UW", "N Y UW"}},
    {"york", {"Y AO R K"}},
    {"times", {"T AY M Z"}},
    {"eight", {"EY T"}},
    {"dot", {"D AA T"}},
    {"twenty", {"T W EH N T IY"}},
    {"six", {"S IH K S"}},
    {"three", {"TH R IY"}},
    {"hundred", {"HH AH N D R AH D"}},
    {"sixty", {"S IH K S T IY"}},
    {"five", {"F AY V"}},
    {"zero", {"Z IH R OW"}},
    {"seven", {"S EH V AH N"}},
    {"oh", {"OW"}},
    {"nineteen", {"N AY N T IY N"}},
    {"github", {"G IH T HH AH B"}},
    {"two", {"T UW"}},
    {"base", {"B EY S"}},
    {"thousand", {"TH AW Z AH N D"}},
};

std::optional<std::string> guess(std::string_view word) {
    if (word == "py") return "P AY";
    if (word == "node") return "N OW D";
    if (word == "ansible") return "AE N S AH B AH L";
    if (word == "supabase") return "S UW P AH B AH S";
    if (word == "supa") return "S UW P AH";
    if (word == "jango") return "JH AE NG G OW";
    return std::nullopt;
}

server::SoundedWords sounded(const std::string& text) {
    return server::sound_words(server::parse_word_list(text, "w.txt").words, dictionary, guess, "w.txt");
}

TEST(WordSounds, EntriesAreSaidFromTheirPartsSpelledAndNumbered) {
    const auto result = sounded(
        "n8n\nAWS\nPyTorch\nSQLite = sequel light\nNew York Times\nNode.js\nGitHub\nv2026\nx365\nr007\nk1905\nm2005\n");
    ASSERT_TRUE(result.problems.empty()) << result.problems.front();
    const std::vector<std::pair<std::string, std::vector<std::string>>> expected{
        {"{n8n}", {"EH N EY T EH N"}},
        {"{AWS}", {"EY D AH B AH L Y UW EH S"}},
        {"{PyTorch}", {"P AY T AO R CH"}},
        {"{SQLite}", {"S IY K W AH L L AY T"}},
        {"{New_York_Times}", {"N UW Y AO R K T AY M Z", "N Y UW Y AO R K T AY M Z"}},
        {"{Node.js}", {"N OW D D AA T JH EY EH S"}},
        {"{GitHub}", {"G IH T HH AH B"}},
        {"{v2026}", {"V IY T W EH N T IY T W EH N T IY S IH K S"}},
        {"{x365}", {"EH K S TH R IY HH AH N D R AH D S IH K S T IY F AY V"}},
        {"{r007}", {"AA R Z IH R OW Z IH R OW S EH V AH N"}},
        {"{k1905}", {"K EY N AY N T IY N OW F AY V"}},
        {"{m2005}", {"EH M T UW TH AW Z AH N D F AY V"}},
    };
    ASSERT_EQ(result.words.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(result.words[i].token, expected[i].first);
        EXPECT_EQ(result.words[i].phones, expected[i].second) << expected[i].first;
    }
    // The dictionary words each is said in, where no part was guessed: what the search may hear instead.
    EXPECT_EQ(result.words[0].said, "n eight n");
    EXPECT_EQ(result.words[1].said, "a w s");
    EXPECT_EQ(result.words[2].said, "");
    EXPECT_EQ(result.words[3].said, "sequel light");
    EXPECT_EQ(result.words[4].said, "new york times");

    // A guessed word that ends in a dictionary word is also said with that word's own sounds.
    // The rules' reading of a leading "dj" is put right.
    const auto django = sounded("Django\n");
    ASSERT_EQ(django.words.size(), 1u);
    EXPECT_EQ(django.words[0].phones, (std::vector<std::string>{"JH AE NG G OW"}));

    const auto compound = sounded("Supabase\n");
    ASSERT_EQ(compound.words.size(), 1u);
    EXPECT_EQ(compound.words[0].phones, (std::vector<std::string>{"S UW P AH B AH S", "S UW P AH B EY S"}));
}

TEST(WordSounds, AnEntryThatCantBeSaidIsToldAndTheRestKept) {
    const auto result = sounded("Ansible\nZyxwvut\nSQLite = sequel blorp\nn8n\n");
    ASSERT_EQ(result.words.size(), 2u);
    EXPECT_EQ(result.words[0].token, "{Ansible}");
    EXPECT_EQ(result.words[1].token, "{n8n}");
    EXPECT_EQ(
        result.problems,
        (std::vector<std::string>{
            "w.txt:2: \"Zyxwvut\" can't be said (give \"= how it is said\"); skipped",
            "w.txt:3: the said word \"blorp\" is not in the dictionary and can't be spelled out; skipped"}));
}

// The synthesiser's rules give only phones the acoustic model has.
TEST(WordSounds, LetterToSoundGivesTheModelsPhones) {
    const auto guessed = server::synthesiser_letter_to_sound()("kubernetes");
    ASSERT_TRUE(guessed.has_value());
    const std::string phones = " " + *guessed + " ";
    EXPECT_NE(phones.find(" K "), std::string::npos) << *guessed;
    for (const char* foreign : {" AX ", " PAU ", "0", "1", " ax "})
        EXPECT_EQ(phones.find(foreign), std::string::npos) << *guessed;
}

class UserWords : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = fs::temp_directory_path() / ("dictate-words-test-" + std::to_string(getpid()));
        fs::create_directories(folder_ / "dictate");
        default_ = (folder_ / "dictate" / "words.txt").string();
    }
    void TearDown() override { fs::remove_all(folder_); }
    std::optional<std::vector<server::WordSound>> load(const std::string& given) {
        told_.clear();
        return server::load_user_words(given, default_, server::default_model_dir(),
                                       [this](std::string_view line) { told_.emplace_back(line); });
    }
    fs::path folder_;
    std::string default_;  // the profile's words.txt
    std::vector<std::string> told_;
};

TEST_F(UserWords, ADefaultListIsUsedWhenThereAndSilentWhenNot) {
    const auto none = load("");
    ASSERT_TRUE(none.has_value());
    EXPECT_TRUE(none->empty());
    EXPECT_TRUE(told_.empty());

    // A data folder that is a file, as the tests' servers run with, holds no list either.
    const std::string in_profile = default_;
    default_ = "/dev/null/none/dictate/words.txt";
    const auto in_a_file = load("");
    ASSERT_TRUE(in_a_file.has_value());
    EXPECT_TRUE(told_.empty());
    default_ = in_profile;

    const fs::path words = folder_ / "dictate" / "words.txt";
    std::ofstream(words) << "Ansible\n12\n";
    const auto some = load("");
    ASSERT_TRUE(some.has_value());
    ASSERT_EQ(some->size(), 1u);
    EXPECT_EQ(told_, (std::vector<std::string>{words.string() + ":2: no letters; skipped",
                                               "1 word from " + words.string()}));
}

TEST_F(UserWords, AGivenListThatCantBeReadIsOneLineAndNoStart) {
    const std::string missing = (folder_ / "missing.txt").string();
    EXPECT_FALSE(load(missing).has_value());
    EXPECT_EQ(told_, (std::vector<std::string>{"cannot read the word list " + missing +
                                               ": No such file or directory"}));
    EXPECT_FALSE(load(folder_.string()).has_value());
    EXPECT_EQ(told_, (std::vector<std::string>{"cannot read the word list " + folder_.string() +
                                               ": not a regular file"}));
}

}  // namespace
