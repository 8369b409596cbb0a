#include "transcription/live_words.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/loopback_http_server.h"

namespace {

using dictate_test::LoopbackHttpServer;
using dictate_test::ScriptedReply;
using transcription::LiveWords;
using transcription::WordsEventReader;
using State = WordsEventReader::State;
using namespace std::chrono_literals;

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

TEST(LiveWords, TakeIdsAreFreshLowercaseHexAndTheEventsAddressIsTheServers) {
    std::set<std::string> ids;
    for (int i = 0; i < 100; ++i) {
        const std::string id = transcription::new_take_id();
        ASSERT_EQ(id.size(), 32u);
        EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos) << id;
        ids.insert(id);
    }
    EXPECT_EQ(ids.size(), 100u);
    EXPECT_EQ(transcription::events_url_of("http://localhost:4999/transcribe", "ab"),
              "http://localhost:4999/transcribe/events/ab");
    EXPECT_EQ(transcription::events_url_of("https://[::1]:8443/v1/audio/transcriptions?x=1", "ab"),
              "https://[::1]:8443/transcribe/events/ab");
}

ScriptedReply events_reply(std::string type, int status = 200) {
    ScriptedReply reply;
    reply.status = status;
    reply.headers = {"Content-Type: " + std::move(type)};
    reply.body = "event: words\ndata: {\"text\": \"heard so far\"}\n\n";
    reply.announce_length = false;
    reply.stay_open = true;  // a take still being decoded
    return reply;
}

std::optional<std::string> words_within_20s(const LiveWords& words, std::uint64_t& seen) {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < deadline) {
        if (auto text = words.latest(seen)) return text;
        std::this_thread::sleep_for(5ms);
    }
    return std::nullopt;
}

// The words come while the stream stays open, and ending them never waits on the server: the end of a take
// must not wait for its words.
TEST(LiveWords, WordsOfAnOpenStreamArriveAndStoppingDoesNotWaitForTheServer) {
    LoopbackHttpServer server(events_reply("text/event-stream; charset=utf-8"));
    std::uint64_t seen = 0;
    std::optional<LiveWords> words(std::in_place);
    words->start(server.url("/transcribe"), "0123456789abcdef0123456789abcdef");
    EXPECT_EQ(words_within_20s(*words, seen), "heard so far");
    EXPECT_EQ(words->latest(seen), std::nullopt);  // nothing new since
    EXPECT_FALSE(words->over());
    const auto asked = std::chrono::steady_clock::now();
    words.reset();
    const auto stopping = std::chrono::steady_clock::now() - asked;
    // 50 ms polls; a loaded machine gets twenty times that.
    EXPECT_LT(stopping, 1s);
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(
        requests[0].head.rfind("GET /transcribe/events/0123456789abcdef0123456789abcdef HTTP/1.1\r\n", 0), 0u)
        << requests[0].head;
}

// A reply that is not a 200 event stream (a server that answers any path, a take it does not know) has no
// words, however they look.
TEST(LiveWords, OnlyAnEventStreamReplyGivesWords) {
    for (const auto& [type, status] : {std::pair{"text/html", 200}, std::pair{"text/event-stream", 404}}) {
        LoopbackHttpServer server(events_reply(type, status));
        LiveWords words;
        words.start(server.url("/transcribe"), "0123456789abcdef0123456789abcdef");
        // Ended at the reply's head: read on, the request would last as long as the open connection.
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (!words.over() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
        ASSERT_TRUE(words.over()) << type << " " << status;
        std::uint64_t seen = 0;
        EXPECT_EQ(words.latest(seen), std::nullopt) << type << " " << status;
    }
}

}  // namespace
