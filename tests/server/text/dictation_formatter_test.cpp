#include "server/text/dictation_formatter.h"
#include "server/text/listed_words.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace {

using Rows = std::vector<std::pair<std::string_view, std::string_view>>;

void expect_rows(const Rows& rows) {
    for (const auto& [said, written] : rows) {
        SCOPED_TRACE(said);
        EXPECT_EQ(server::format_dictation(said), written);
    }
}

TEST(DictationFormatter, SpokenMarksAreSpacedAsWritten) {
    expect_rows({
        {"hello comma how are you question mark", "Hello, how are you?"},
        {"stop now full stop", "Stop now."},
        {"that is great exclamation mark", "That is great!"},
        {"wow exclamation point", "Wow!"},
        {"the list colon apples semicolon pears semi colon plums", "The list: apples; pears; plums"},
        {"a well hyphen known name", "A well-known name"},
        {"one dash two", "One - two"},
        {"he said open quote yes close quote and left", "He said \"yes\" and left"},
        {"it works open paren mostly close paren now", "It works (mostly) now"},
        {"open parenthesis aside close bracket", "(Aside)"},
    });
}

TEST(DictationFormatter, CapitalsStartTakesSentencesParagraphsAndI) {
    expect_rows({
        {"go forward ten meters", "Go forward ten meters"},
        {"it rained period then it stopped", "It rained. Then it stopped"},
        {"why question mark because", "Why? Because"},
        {"she said open quote stop period close quote then left", "She said \"stop.\" Then left"},
        {"i think i'm sure and i'll go", "I think I'm sure and I'll go"},
        {"first new paragraph second", "First\n\nSecond"},
        {"first new line second", "First\nsecond"},
        {"open quote hi close quote", "\"Hi\""},
        {"it is ice", "It is ice"},
    });
}

TEST(DictationFormatter, LiteralSaysTheCommandWords) {
    expect_rows({
        {"type literal comma here", "Type comma here"},
        {"a literal full stop sign", "A full stop sign"},
        {"literal new paragraph", "New paragraph"},
        {"the literal meaning", "The literal meaning"},
        {"literal literal comma", "Literal comma"},
        {"ends with literal", "Ends with literal"},
    });
}

TEST(DictationFormatter, CommandsAtTheEdgesAndRepeatedAreWrittenAsSaid) {
    expect_rows({
        {"", ""},
        {"   ", ""},
        {"comma", ","},
        {"period", "."},
        {"comma hello", ", Hello"},
        {"new paragraph hello", "\n\nHello"},
        {"dash hello", "- Hello"},
        {"hello new paragraph", "Hello\n\n"},
        {"hello open quote", "Hello \""},
        {"wait period period period", "Wait..."},
        {"what question mark question mark", "What??"},
        {"a new line new line b", "A\n\nb"},
        {"full", "Full"},
        {"question mark mark", "? Mark"},
        {"  go   forward ", "Go forward"},
    });
}

}  // namespace

// The user's own words come out as listed wherever they fall, and the plain words show them the same way.
TEST(DictationFormatter, ListedWordsKeepTheirSpelling) {
    expect_rows({
        {"{n8n} runs it", "n8n runs it"},
        {"done period {n8n} runs it", "Done. n8n runs it"},
        {"ask {Nakamura} comma {iOS} and {New_York_Times} question mark",
         "Ask Nakamura, iOS and New York Times?"},
        {"new paragraph {eBay}", "\n\neBay"},
        {"open quote {PyTorch} close quote", "\"PyTorch\""},
        {"{comma} here", "comma here"},
    });
    EXPECT_EQ(server::plain_words("ask {Nakamura} about {New_York_Times} now"),
              "ask Nakamura about New York Times now");
    EXPECT_EQ(server::plain_words("{n8n}"), "n8n");
    EXPECT_EQ(server::plain_words("no entries here"), "no entries here");
}

// An entry heard as the dictionary words it is spelled or said with is still written as listed.
TEST(DictationFormatter, ListedEntriesHeardAsDictionaryWordsAreWrittenAsListed) {
    const server::ListedPhrases phrases({{"Nakamura", ""},
                                         {"New York", ""},
                                         {"New York Times", ""},
                                         {"n8n", "n eight n"},
                                         {"SQLite", "sequel light"}});
    EXPECT_EQ(server::format_dictation(phrases.mark("ask nakamura about the new york times period new york")),
              "Ask Nakamura about the New York Times. New York");
    EXPECT_EQ(server::format_dictation(phrases.mark("n eight n reads sequel light period sequel then")),
              "n8n reads SQLite. Sequel then");
    EXPECT_EQ(server::plain_words(phrases.mark("nakamura read the new times")),
              "Nakamura read the new times");
    EXPECT_EQ(server::ListedPhrases({}).mark("new york"), "new york");
}
