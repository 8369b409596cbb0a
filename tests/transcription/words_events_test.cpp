#include "transcription/words_events.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using transcription::WordsEventReader;
using State = WordsEventReader::State;

// Feeds `stream` whole, then again a byte at a time, then in blocks of three: a block may end anywhere, in
// the middle of a line or between a CR and its LF.
void expect_read(const std::string& stream, State state, const std::string& text, std::uint64_t texts) {
    for (const std::size_t block : {stream.size(), std::size_t{1}, std::size_t{3}}) {
        WordsEventReader reader(64);
        for (std::size_t at = 0; at < stream.size(); at += block)
            reader.feed(std::string_view(stream).substr(at, block));
        EXPECT_EQ(reader.state(), state) << stream << " in blocks of " << block;
        EXPECT_EQ(reader.text(), text) << stream << " in blocks of " << block;
        EXPECT_EQ(reader.texts_read(), texts) << stream << " in blocks of " << block;
    }
}

TEST(WordsEventReader, KeepsTheLatestWordsWhateverTheLineEndsAndPassesOverTheRest) {
    expect_read("event: words\ndata: {\"text\": \"one\"}\n\nevent: words\ndata: {\"text\": \"one two\"}\n\n",
                State::reading, "one two", 2);
    expect_read("event:words\r\ndata:{\"text\":\"crlf\"}\r\n\r\n", State::reading, "crlf", 1);
    expect_read("event: words\rdata: {\"text\": \"cr\"}\r\r", State::reading, "cr", 1);
    // Comments, other events, other members and fields, and data split over lines.
    expect_read(
        ": keep-alive\n\nevent: progress\ndata: {\"text\": \"not words\"}\n\nid: 7\nevent: words\n"
        "data: {\"text\":\n"
        "data: \"split\", \"more\": 1}\n\n",
        State::reading, "split", 1);
    // An event not yet ended by its blank line is not taken.
    expect_read("event: words\ndata: {\"text\": \"pending\"}\n", State::reading, "", 0);
    expect_read(
        "event: words\ndata: {\"text\": \"last\"}\n\nevent: end\ndata: {}\n\n"
        "event: words\ndata: {\"text\": \"after the end\"}\n\n",
        State::ended, "last", 1);
}

TEST(WordsEventReader, GarbageAndOverlongInputEndTheReading) {
    const std::string words = "event: words\ndata: {\"text\": \"kept\"}\n\n";
    const std::vector<std::string> failing = {
        "event: words\ndata: {not json\n\n",
        "event: words\ndata: [\"text\"]\n\n",
        "event: words\ndata: {\"text\": 7}\n\n",
        "event: words\ndata: {\"words\": \"no text\"}\n\n",
        "event: words\ndata: {\"text\": \"caf\xe9\"}\n\n",       // not UTF-8
        "event: words\ndata: {\"text\": \"\\ud800 lone\"}\n\n",  // half a surrogate pair
        ": " + std::string(70, 'x') + "\n",                      // a line over the cap, even a comment
        "data: " + std::string(40, 'x') + "\ndata: " + std::string(40, 'x') + "\n",  // data over it
    };
    for (const auto& bad : failing) expect_read(words + bad + words, State::failed, "kept", 1);
    // A line as long as the cap is still read.
    expect_read(": " + std::string(62, 'x') + "\n" + words, State::reading, "kept", 1);
}

}  // namespace
