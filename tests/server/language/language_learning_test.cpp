#include "server/language/language_learning.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "server/language/language_part.h"
#include "server/language/ngram_counts.h"
#include "server/language/text_files.h"
#include "server/language/text_words.h"
#include "server/recognition/recognizer.h"
#include "server/recognition/word_sounds.h"

namespace {
namespace fs = std::filesystem;

// The sentences of `text` as the learner hears them: words joined by spaces, sentences by '|', a byte
// that is not UTF-8 shown as '?'. Fed `chunk` bytes at a time, as blocks of a file come.
std::string sentences_of(const std::string& text, std::size_t chunk) {
    std::string out;
    std::string sentence;
    server::TextWords words(
        {[&](std::string_view word) { (sentence += sentence.empty() ? "" : " ") += word; },
         [&] {
             (out += out.empty() ? "" : "|") += sentence;
             sentence.clear();
         }});
    for (std::size_t at = 0; at < text.size(); at += chunk)
        words.feed(std::string_view(text).substr(at, chunk));
    words.finish();
    for (char& c : out) c = c == '\x01' ? '?' : c;
    return out;
}

TEST(TextWords, ReadsWritingAsSpokenSentences) {
    const std::vector<std::pair<std::string, std::string>> rows{
        {"Hello, World. It's 1999!", "hello world|it's nineteen ninety nine"},
        {"See e.g. 3.5 of them.\n", "see e g three five of them"},
        {"Ask J. Smith. Then go!", "ask j smith|then go"},
        {"a line\nwrapped here\n\n  \nnext paragraph", "a line wrapped here|next paragraph"},
        {"# A heading\nits body, (said) \"so.\" Next", "a heading|its body said so|next"},
        {"don\u2019t \u2018quote\u2019 me\u2014ever", "don't quote me ever"},
        {"007 and 42 and 2005 and 1234567 mp3s",
         "zero zero seven and forty two and two thousand five and 1234567 mp3s"},
        {"caf\xe9 ok\xff. na\xc3\xafve", "caf? ok?|na\xc3\xafve"},
        {"'quoted' users' notes", "quoted users notes"},
    };
    for (const auto& [text, expected] : rows) {
        SCOPED_TRACE(text);
        EXPECT_EQ(sentences_of(text, text.size() + 1), expected);
        EXPECT_EQ(sentences_of(text, 1), expected);  // a character split between blocks is still one
    }
}

TEST(TextWords, SpellsNumbersAsTheyAreSaid) {
    EXPECT_EQ(server::spelt_number("0"), "zero");
    EXPECT_EQ(server::spelt_number("115"), "one hundred fifteen");
    EXPECT_EQ(server::spelt_number("1900"), "nineteen hundred");
    EXPECT_EQ(server::spelt_number("1905"), "nineteen oh five");
    EXPECT_EQ(server::spelt_number("3000"), "three thousand");
    EXPECT_EQ(server::spelt_number("999999"), "nine hundred ninety nine thousand nine hundred ninety nine");
    EXPECT_EQ(server::spelt_number("1000000"), "");
    EXPECT_EQ(server::spelt_number("12a"), "");
}

// An ARPA model read back: log10 probabilities and back-off weights by n-gram ("a b").
struct Arpa {
    std::map<std::string, double> probability, backoff;
    std::vector<std::string> words;
};

Arpa parse_arpa(const std::string& text) {
    Arpa arpa;
    std::istringstream in(text);
    int order = 0;
    for (std::string line; std::getline(in, line);) {
        if (line.size() > 1 && line[0] == '\\' && line[1] >= '1' && line[1] <= '3') {
            order = line[1] - '0';
            continue;
        }
        if (order == 0 || line.empty() || line[0] == '\\') continue;
        std::istringstream fields(line);
        double probability = 0.0;
        fields >> probability;
        std::string gram;
        for (int i = 0; i < order; ++i) {
            std::string word;
            fields >> word;
            if (i > 0) gram += ' ';
            gram += word;
        }
        arpa.probability[gram] = probability;
        double backoff = 0.0;
        if (fields >> backoff) arpa.backoff[gram] = backoff;
        if (order == 1) arpa.words.push_back(gram);
    }
    return arpa;
}

// P(word | history) by the back-off rule the engine applies to an ARPA model.
double probability(const Arpa& arpa, const std::vector<std::string>& history, const std::string& word) {
    std::string gram;
    for (const auto& before : history) gram += before + " ";
    gram += word;
    if (const auto found = arpa.probability.find(gram); found != arpa.probability.end())
        return std::pow(10.0, found->second);
    if (history.empty()) return 0.0;
    std::string context;
    for (const auto& before : history) {
        if (!context.empty()) context += ' ';
        context += before;
    }
    const auto backoff = arpa.backoff.find(context);
    const double weight = backoff == arpa.backoff.end() ? 1.0 : std::pow(10.0, backoff->second);
    return weight * probability(arpa, std::vector<std::string>(history.begin() + 1, history.end()), word);
}

std::vector<std::string> test_names() {
    return {"<s>", "</s>", "please", "press", "the", "pound", "key", "enter", "your", "number", "one", "two"};
}

TEST(NgramCounts, WritesAModelWhoseEveryContextSumsToOne) {
    const std::vector<std::vector<std::uint32_t>> text{
        {2, 3, 4, 5, 6}, {2, 7, 8, 9}, {2, 7, 8, 9, 3, 4, 5, 6}, {3, 10}, {3, 11, 4, 5}, {2, 3, 10}};
    server::NgramCounts counts(1000);
    for (const auto& sentence : text) {
        std::vector<bool> breaks(sentence.size() + 1, false);
        breaks[sentence.size() / 2] = sentence.size() == 4;  // an unknown word in one sentence
        counts.add_sentence(sentence, breaks);
    }
    // With the text's own frequencies and with a base distribution of its own (uniform over the words).
    for (const bool with_base : {false, true}) {
        SCOPED_TRACE(with_base ? "base distribution" : "the text's frequencies");
        std::ostringstream out;
        const auto base = [](std::uint32_t) { return 1.0 / 11.0; };
        const auto written = with_base ? counts.write_arpa(out, test_names(), 0.7, base)
                                       : counts.write_arpa(out, test_names(), 0.7);
        EXPECT_GT(written.triples, 0u);
        const Arpa arpa = parse_arpa(out.str());
        std::vector<std::vector<std::string>> contexts{{}};
        for (const auto& [gram, weight] : arpa.backoff) {
            std::istringstream words(gram);
            contexts.emplace_back(std::istream_iterator<std::string>(words),
                                  std::istream_iterator<std::string>());
        }
        for (const auto& context : contexts) {
            double sum = 0.0;
            for (const auto& word : arpa.words) {
                if (word != "<s>") sum += probability(arpa, context, word);
            }
            std::string name;
            for (const auto& word : context) name += word + " ";
            SCOPED_TRACE(name);
            EXPECT_NEAR(sum, with_base && context.empty() ? 1.0 : 1.0, 1e-4);
        }
    }
}

TEST(NgramCounts, KeepsWithinItsCapAndEveryTripleKeepsItsContext) {
    server::NgramCounts counts(2000);
    std::mt19937 random(7);
    std::uniform_int_distribution<std::uint32_t> word(2, 400);
    std::size_t most = 0;
    for (int i = 0; i < 3000; ++i) {
        std::vector<std::uint32_t> sentence(8);
        for (auto& w : sentence) w = word(random);
        counts.add_sentence(sentence, std::vector<bool>(sentence.size() + 1, false));
        most = std::max(most, counts.distinct());
    }
    EXPECT_LE(most, 2000u);
    EXPECT_GT(counts.pruned_at_most(), 0u);
    std::vector<std::string> names{"<s>", "</s>"};
    for (int i = 2; i <= 400; ++i) names.push_back(std::string("w").append(std::to_string(i)));
    std::ostringstream out;
    counts.write_arpa(out, names);
    const Arpa arpa = parse_arpa(out.str());
    for (const auto& [gram, probability] : arpa.probability) {
        if (std::count(gram.begin(), gram.end(), ' ') == 2) {
            EXPECT_TRUE(arpa.probability.contains(gram.substr(0, gram.rfind(' ')))) << gram;
        }
    }
}

TEST(Mixture, TakesTheWeightThatScoresBestAndNeverHidesAWorseModel) {
    // The learnt model knows the words better: it earns a large share.
    const auto [weight, perplexity] = server::best_mixture({{0.01, 0.2}, {0.02, 0.3}, {0.05, 0.4}});
    EXPECT_GE(weight, 0.9);
    EXPECT_LT(perplexity, 10.0);
    // It knows none of them: whatever its share, the mixture is worse than the general model alone (20).
    const auto [none_weight, none_perplexity] = server::best_mixture({{0.05, 0.0}, {0.05, 0.0}});
    EXPECT_DOUBLE_EQ(none_weight, 0.01);
    EXPECT_GT(none_perplexity, 20.0);
}

class LanguageLearning : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("language-learning-" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "writing");
    }
    void TearDown() override { fs::remove_all(dir_); }

    void write(const std::string& name, const std::string& text) {
        std::ofstream(dir_ / "writing" / name, std::ios::binary) << text;
    }

    server::LearningResult learn(server::Pronounce pronounce = {}, std::size_t max_new_words = 5'000) {
        server::LearningSettings settings{
            {(dir_ / "writing").string()}, language(), server::default_model_dir(), std::move(pronounce)};
        settings.max_new_words = max_new_words;
        return server::learn_language(settings, [&](const std::string& line) { lines_.push_back(line); });
    }

    std::string language() const { return (dir_ / "profile" / "language").string(); }

    std::string notes() const { return part_file(server::language_notes_file); }
    std::string part_file(const char* name) const {
        std::ifstream in(fs::path(language()) / name);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }

    fs::path dir_;
    std::vector<std::string> lines_;
};

// Sentences of a telephone menu's phrasing, many times over with small changes.
std::string menu_text() {
    const char* actions[] = {"leave a message",      "speak to an operator", "hear your messages",
                             "change your password", "record your name",     "return to the main menu"};
    const char* numbers[] = {"one", "two", "three", "four", "five", "six", "seven", "eight", "nine"};
    std::string text;
    for (int i = 0; i < 120; ++i) {
        text += std::string("To ") + actions[i % 6] + ", press " + numbers[(i / 6) % 9] + ".\n";
        if (i % 4 == 0) text += "Please enter your mailbox number followed by the pound key.\n";
    }
    return text;
}

// Sentences of words that never come twice, so the held-back ones hold words the rest never had.
std::string unrepeated_text() {
    std::ifstream dictionary(server::default_model_dir() + "/en-us/cmudict-en-us.dict");
    std::string text;
    std::string line;
    for (int sentence = 0; sentence < 60; ++sentence) {
        for (int word = 0; word < 8; ++word) {
            for (int skip = 0;
                 (skip < 97 || line.find('(') != std::string::npos) && std::getline(dictionary, line);
                 ++skip) {
            }
            text += line.substr(0, line.find(' ')) + (word == 3 + sentence % 5 ? ".\n" : " ");
            if (word == 3 + sentence % 5) break;
        }
    }
    return text;
}

TEST_F(LanguageLearning, KeepsALanguageOnlyWhenItMakesTheHeldBackSentencesLikelier) {
    write("menu.md", menu_text());
    const server::LearningResult kept = learn();
    ASSERT_TRUE(kept.kept);
    EXPECT_LT(kept.mixed_perplexity, kept.general_perplexity);
    EXPECT_GT(kept.weight, 0.0);
    EXPECT_GT(kept.held_back_sentences, 0u);
    EXPECT_TRUE(server::is_learnt_language(language()));
    const auto loaded = server::find_learnt_language(language());
    ASSERT_TRUE(loaded);
    EXPECT_NEAR(loaded->weight, kept.weight, 0.005);
    const std::string first = notes();

    fs::remove(dir_ / "writing" / "menu.md");
    write("words.txt", unrepeated_text());
    const server::LearningResult refused = learn();
    EXPECT_FALSE(refused.kept);
    EXPECT_GE(refused.mixed_perplexity, refused.general_perplexity);
    EXPECT_EQ(notes(), first);  // the language learnt before is still the profile's
    EXPECT_FALSE(fs::exists(language() + ".work"));
}

// Words the dictionary lacks are sounded by the same rules as the user's word list, within bounds, and a
// server loading the language knows them; a damaged words.dict costs its bad lines only.
TEST_F(LanguageLearning, SoundsNewWordsWithinBoundsAndTheRecogniserLearnsThem) {
    std::string text = menu_text();
    for (int i = 0; i < 20; ++i) {
        text += "The zz9 and abcdefghijklmnopqrstuvw and a zorblat are here.\n";
        text += "Press quintavex to hear flurbish.\n";
    }
    write("menu.md", text);
    const server::LearningResult result = learn(server::synthesiser_letter_to_sound(), 2);
    ASSERT_TRUE(result.kept);
    EXPECT_EQ(result.new_words, 2u);  // the first two met; the cap leaves "flurbish" out
    std::vector<std::string> sounded;
    std::istringstream dictionary(part_file(server::learnt_words_file));
    for (std::string line; std::getline(dictionary, line);) {
        std::istringstream fields(line);
        std::string word, phone;
        fields >> word;
        sounded.push_back(word);
        std::size_t phones = 0;
        for (; fields >> phone; ++phones) EXPECT_TRUE(server::is_model_phone(phone)) << line;
        EXPECT_GE(phones, 4u) << line;
    }
    EXPECT_EQ(sounded, (std::vector<std::string>{"zorblat", "quintavex"}));
    const std::string skipped = part_file(server::unknown_words_file);
    for (const char* word : {"flurbish 20", "zz9 20", "abcdefghijklmnopqrstuvw 20"})
        EXPECT_NE(skipped.find(word), std::string::npos) << word << " in " << skipped;

    std::ofstream(fs::path(language()) / server::learnt_words_file, std::ios::app)
        << "blarg Q X\nzorblat(2) Z AO\nlonely\n";
    std::vector<std::string> told;
    const auto loaded =
        server::find_learnt_language(language(), [&](const std::string& line) { told.push_back(line); });
    ASSERT_TRUE(loaded);
    ASSERT_EQ(loaded->words.size(), 2u);
    const std::string dict = fs::canonical(language()).string() + "/" + server::learnt_words_file;
    EXPECT_EQ(told, (std::vector<std::string>{dict + ":3: \"Q\" is no phone of the acoustic model; skipped",
                                              dict + ":4: \"zorblat(2)\" is no plain word; skipped",
                                              dict + ":5: \"lonely\" has no phones; skipped"}));

    const server::Recognizer recognizer(server::default_model_dir(), *loaded, 1);
    EXPECT_TRUE(recognizer.knows_word("zorblat"));
    EXPECT_TRUE(recognizer.knows_word("quintavex"));
    EXPECT_TRUE(recognizer.knows_word("press"));
    EXPECT_FALSE(recognizer.knows_word("flurbish"));
    EXPECT_FALSE(recognizer.knows_word("blarg"));
}

TEST_F(LanguageLearning, RefusesTooLittleTextAndWritesNothing) {
    write("short.txt", "Press one. Press two. Press three.");
    try {
        learn();
        ADD_FAILURE() << "learnt from three sentences";
    } catch (const std::runtime_error& failure) {
        EXPECT_STREQ(failure.what(),
                     "too little text to judge: 3 sentences (at least 5 are needed, a tenth of them "
                     "held back)");
    }
    write("short.txt", "");
    EXPECT_THROW(learn(), std::runtime_error);
    EXPECT_FALSE(fs::exists(language()));
}

TEST_F(LanguageLearning, ReadsWhatItCanOfEachFileAndSaysWhatItSkipped) {
    const auto reading = [&](const std::string& name, const std::string& bytes, std::uint64_t cap = 1000) {
        write(name, bytes);
        server::TextWords words({[](std::string_view) {}, [] {}});
        return server::read_text_file((dir_ / "writing" / name).string(), words, cap);
    };
    EXPECT_EQ(reading("empty.txt", "").note, "empty, skipped");
    EXPECT_EQ(reading("binary.txt", std::string("text\0\x01\x02 more", 12)).note,
              "a binary file, not text, skipped");
    EXPECT_FALSE(reading("binary.txt", std::string("text\0\x01\x02 more", 12)).read);
    const auto latin1 = reading("latin1.txt",
                                "caf\xe9 cr\xe8me br\xfbl\xe9"
                                "e is fine");
    EXPECT_TRUE(latin1.read);
    EXPECT_EQ(latin1.note, "not UTF-8 (4 bytes): the words holding them were left out");
    const auto huge = reading("huge.txt", std::string(5000, 'a'), 1000);
    EXPECT_EQ(huge.bytes, 1000u);
    EXPECT_NE(huge.note.find("read its first"), std::string::npos);
    EXPECT_EQ(reading("plain.txt", "Just words.").note, "");
}

TEST_F(LanguageLearning, FindsWritingButNotTranscriptsLinksOutOrFolderLinks) {
    write("a.txt", "x");
    write("b.MD", "x");
    write("take_corrected.txt", "x");
    write("take_transcription.txt", "x");
    write("notes.doc", "x");
    fs::create_directories(dir_ / "writing" / "deeper");
    std::ofstream(dir_ / "writing" / "deeper" / "c.txt") << "x";
    std::ofstream(dir_ / "outside.txt") << "x";
    fs::create_symlink(dir_ / "outside.txt", dir_ / "writing" / "out.txt");
    fs::create_symlink(dir_ / "writing" / "a.txt", dir_ / "writing" / "in.txt");
    fs::create_directory_symlink(dir_, dir_ / "writing" / "loop");
    const server::TextFiles found = server::find_text_files({(dir_ / "writing").string()});
    std::vector<std::string> names;
    for (const auto& file : found.files)
        names.push_back(fs::path(file).lexically_relative(fs::canonical(dir_ / "writing")).string());
    // The link inside is read as the file it names, once.
    EXPECT_EQ(names, (std::vector<std::string>{"a.txt", "b.MD", "deeper/c.txt", "take_corrected.txt"}));
    ASSERT_EQ(found.refused.size(), 1u);
    EXPECT_NE(found.refused[0].find("out.txt: a link leading out of the folders given"), std::string::npos);
}

}  // namespace
