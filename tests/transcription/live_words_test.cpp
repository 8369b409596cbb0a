#include "transcription/live_words.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>

#include "tests/support/loopback_http_server.h"

namespace {

using dictate_test::LoopbackHttpServer;
using dictate_test::ScriptedReply;
using transcription::LiveWords;
using namespace std::chrono_literals;

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
