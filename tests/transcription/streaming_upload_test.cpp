#include "transcription/streaming_upload.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "tests/support/loopback_http_server.h"

namespace {

using dictate_test::LoopbackHttpServer;
using dictate_test::ScriptedReply;
using transcription::ExchangeWatch;
using transcription::StreamingUpload;
using namespace std::chrono_literals;

ScriptedReply replying(int status, std::string body) {
    ScriptedReply reply;
    reply.status = status;
    reply.reason = status == 200 ? "OK" : "Not Found";
    reply.body = std::move(body);
    return reply;
}

bool within_20s(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// A server that answers its health address without "streaming": true is asked that and nothing more, and
// the take's file is uploaded instead.
TEST(StreamingUpload, AServerThatDoesNotOfferStreamsIsOnlyAsked) {
    LoopbackHttpServer server(replying(404, R"({"error":"not found"})"));
    StreamingUpload upload(server.url("/transcribe"), "06-12-2026_07-08-15_output.wav");
    upload.append("RIFF", 4);
    EXPECT_FALSE(upload.finish(ExchangeWatch{}).has_value());
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].head.rfind("GET /health HTTP/1.1\r\n", 0), 0u) << requests[0].head;
}

// This server answers the moment a request's head is in, so the streamed take is answered before its
// body ended: a reply the server gave without having heard the take is never its text.
TEST(StreamingUpload, AReplyBeforeTheBodyEndedIsNotTheTakesText) {
    ScriptedReply early = replying(200, R"({"streaming":true,"text":"EARLY"})");
    early.stay_open = true;  // the reply is read, not lost to a connection reset mid-body
    LoopbackHttpServer server(early);
    StreamingUpload upload(server.url("/transcribe"), "06-12-2026_07-08-15_output.wav");
    upload.append("RIFF", 4);
    // The take records on, its sound handed over as it comes, until the reply has ended the request.
    ASSERT_TRUE(within_20s([&] {
        upload.append("more", 4);
        return server.requests().size() == 2 && !upload.sending();
    }));
    EXPECT_FALSE(upload.finish(ExchangeWatch{}).has_value());
    EXPECT_TRUE(upload.answered_early());
    EXPECT_EQ(server.requests()[1].head.rfind("POST /transcribe HTTP/1.1\r\n", 0), 0u);
}

TEST(StreamingUpload, NoServerMeansTheFileGoesAtOnce) {
    std::string url;
    {
        LoopbackHttpServer gone(replying(200, "{}"));
        url = gone.url("/transcribe");
    }
    const auto started = std::chrono::steady_clock::now();
    StreamingUpload upload(url, "06-12-2026_07-08-15_output.wav");
    EXPECT_FALSE(upload.finish(ExchangeWatch{}).has_value());
    EXPECT_FALSE(upload.answered_early());
    // Refused at once, well within the two seconds a server that does not answer is given.
    EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
}

}  // namespace
