#include "server/requests/request_handler.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cerrno>
#include <fstream>
#include <future>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <system_error>

#include "server/recognition/recognizer.h"
#include "tests/server/wav_bytes.h"

namespace {

using namespace wav_bytes;
using nlohmann::json;

constexpr std::uint64_t limit = 1'000'000;
using Parts = std::vector<std::pair<std::string, std::string>>;  // form name, content

// The engine's own test recording of "go forward ten meters": 16 kHz 16-bit mono without a header.
std::string go_forward_wav() {
    std::ifstream in(std::string(POCKETSPHINX_TEST_DATA) + "/goforward.raw", std::ios::binary);
    const std::string samples((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (samples.empty()) throw std::runtime_error("cannot read goforward.raw from " POCKETSPHINX_TEST_DATA);
    return riff(chunk("fmt ", fmt(1, 1, 16000, 16)) + chunk("data", samples));
}

std::string form(const Parts& parts) {
    std::string body;
    for (const auto& [name, content] : parts) {
        body += "--b\r\nContent-Disposition: form-data; name=\"" + name +
                "\"; filename=\"take.wav\"\r\n\r\n" + content + "\r\n";
    }
    return body + "--b--\r\n";
}

server::Headers upload_headers(std::size_t length) {
    return {{"Content-Length", std::to_string(length)}, {"Content-Type", "multipart/form-data; boundary=b"}};
}

// One request as the service runs it: head, then the body in pieces of `piece` bytes, then its end.
server::Reply run(const std::string& method, const std::string& path, const server::Headers& headers,
                  const std::string& body, server::SpeechToText& engine, std::size_t piece = 1000) {
    server::Request request(method, path, headers, limit);
    if (auto decided = request.start()) return std::move(*decided);
    for (std::size_t at = 0; at < body.size(); at += piece) {
        if (auto refused = request.take(std::string_view(body).substr(at, piece))) return std::move(*refused);
    }
    return request.finish(engine);
}

class RequestHandling : public testing::Test {
protected:
    static void SetUpTestSuite() {
        engine = std::make_unique<server::Recognizer>(server::default_model_dir());
        speech = go_forward_wav();
    }
    static void TearDownTestSuite() { engine.reset(); }

    static server::Reply post(const Parts& parts, std::size_t piece = 1000) {
        const std::string body = form(parts);
        return run("POST", "/transcribe", upload_headers(body.size()), body, *engine, piece);
    }

    static inline std::unique_ptr<server::Recognizer> engine;
    static inline std::string speech;
};

struct Row {
    const char* name;
    const char* method;
    const char* path;
    server::Headers headers;
    std::string body;
    int status;
    const char* member;  // the JSON member the reply must have
};

TEST_F(RequestHandling, AnswersEachRequestWithStatusAndJsonObject) {
    const std::string adpcm = riff(chunk("fmt ", fmt(2, 1, 48000, 4, 256)) + chunk("data", "abcd"));
    const std::string wrong_name = form({{"sound", speech}});
    const std::string not_wav = form({{"audio", "hello"}});
    const std::string adpcm_form = form({{"audio", adpcm}});
    const std::string cut_off = form({{"audio", speech}}).substr(0, 5000);
    const std::vector<Row> rows{
        {"health", "GET", "/health", {}, "", 200, "status"},
        {"health by HEAD", "HEAD", "/health", {}, "", 200, "status"},
        {"health by POST", "POST", "/health", upload_headers(9), "", 405, "error"},
        {"transcribe by GET", "GET", "/transcribe", {}, "", 405, "error"},
        {"transcribe by DELETE", "DELETE", "/transcribe", {}, "", 405, "error"},
        {"unknown path", "GET", "/transcribe/x", {}, "", 404, "error"},
        {"path that is not UTF-8", "GET", "/\xff\xfe", {}, "", 404, "error"},
        {"no Content-Length",
         "POST",
         "/transcribe",
         {{"Content-Type", "multipart/form-data; boundary=b"}},
         "",
         411,
         "error"},
        {"transfer coding other than chunked",
         "POST",
         "/transcribe",
         {{"Transfer-Encoding", "gzip, chunked"}, {"Content-Type", "multipart/form-data; boundary=b"}},
         "",
         411,
         "error"},
        {"Content-Length not a number", "POST", "/transcribe", {{"Content-Length", "12x"}}, "", 400, "error"},
        {"negative Content-Length", "POST", "/transcribe", {{"Content-Length", "-1"}}, "", 400, "error"},
        {"over the limit", "POST", "/transcribe", {{"content-length", "1000001"}}, "", 413, "error"},
        {"not multipart",
         "POST",
         "/transcribe",
         {{"Content-Length", "9"}, {"content-type", "audio/wav"}},
         "",
         400,
         "error"},
        {"no boundary",
         "POST",
         "/transcribe",
         {{"Content-Length", "9"}, {"Content-Type", "multipart/form-data"}},
         "",
         400,
         "error"},
        {"body ends before its closing boundary", "POST", "/transcribe", upload_headers(cut_off.size()),
         cut_off, 400, "error"},
        {"wrong part name", "POST", "/transcribe", upload_headers(wrong_name.size()), wrong_name, 400,
         "error"},
        {"not a WAV", "POST", "/transcribe", upload_headers(not_wav.size()), not_wav, 400, "error"},
        {"ADPCM", "POST", "/transcribe", upload_headers(adpcm_form.size()), adpcm_form, 415, "error"},
        {"garbage body", "POST", "/transcribe", upload_headers(9), "\x01\x02nonsense", 400, "error"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const server::Reply reply = run(row.method, row.path, row.headers, row.body, *engine);
        EXPECT_EQ(reply.status, row.status);
        const json body = json::parse(reply.json);  // throws on anything but valid JSON
        ASSERT_TRUE(body.is_object());
        EXPECT_TRUE(body.contains(row.member)) << reply.json;
        // A health reply also says whether chunked uploads are decoded as they arrive, and whether a series
        // of takes is learnt from: not by a request that was given no engine for that.
        const bool health = std::string_view(row.path) == "/health" && row.status == 200;
        EXPECT_EQ(body.size(), health ? 4u : 1u) << reply.json;
        if (health) {
            EXPECT_EQ(body.value("streaming", true), false) << reply.json;
            EXPECT_EQ(body.value("take_series", true), false) << reply.json;
            EXPECT_EQ(body.value("live_words", true), false) << reply.json;
        }
    }
    server::Request health("GET", "/health", {}, limit);
    health.decode_while_arriving(*engine);
    const json offered = json::parse(health.start().value().json);
    EXPECT_EQ(offered.value("streaming", false), true);
    EXPECT_EQ(offered.value("take_series", false), true);
}

// The body may come in pieces of any size; the form's boundaries fall anywhere among them.
TEST_F(RequestHandling, TranscribesSpeechInAudioOrFilePartWhateverThePieces) {
    for (const char* name : {"audio", "file"}) {
        for (std::size_t piece : {std::size_t{1}, std::size_t{37}, std::size_t{1} << 20}) {
            SCOPED_TRACE(std::string(name) + " in pieces of " + std::to_string(piece));
            const server::Reply reply = post({{"other", "x"}, {name, speech}}, piece);
            ASSERT_EQ(reply.status, 200) << reply.json;
            const json body = json::parse(reply.json);
            EXPECT_EQ(body.at("text"), "go forward ten meters");
            EXPECT_NEAR(body.at("duration").get<double>(), 2.79, 0.01);
            EXPECT_NEAR(reply.audio_seconds, 2.79, 0.01);
            EXPECT_GT(reply.decode_seconds, 0.0);
        }
    }
}

TEST_F(RequestHandling, AudioPartWinsOverFilePartWhereverItComes) {
    const std::string silence =
        riff(chunk("fmt ", fmt(1, 1, 16000, 16)) + chunk("data", std::string(32000, '\0')));
    for (const Parts& parts :
         {Parts{{"file", silence}, {"audio", speech}}, Parts{{"audio", speech}, {"file", silence}},
          Parts{{"audio", speech}, {"audio", silence}}}) {
        const server::Reply reply = post(parts);
        EXPECT_EQ(json::parse(reply.json).at("text"), "go forward ten meters") << reply.json;
    }
}

TEST_F(RequestHandling, EmptyOrSilentAudioGivesEmptyText) {
    const std::string empty = riff(chunk("fmt ", fmt(1, 1, 48000, 16)) + chunk("data", ""));
    const std::string silence =
        riff(chunk("fmt ", fmt(1, 1, 48000, 16)) + chunk("data", std::string(96000, '\0')));
    for (const std::string& wav : {empty, silence}) {
        const server::Reply reply = post({{"audio", wav}});
        ASSERT_EQ(reply.status, 200) << reply.json;
        EXPECT_EQ(json::parse(reply.json).at("text"), "");
    }
}

// A decoding thread that cannot be started costs the client a 503, and nothing else: the decoders the
// call took are given back, so the next upload is decoded (it would wait for ever otherwise).
TEST_F(RequestHandling, ThreadThatCannotStartIs503AndTheEngineCarriesOn) {
    int starts = 0;
    server::Recognizer two(server::default_model_dir(), 2, server::default_tail_frames,
                           [&starts](std::function<void()> work) {
                               if (starts++ == 0)
                                   throw std::system_error(EAGAIN, std::generic_category(), "pthread_create");
                               return std::thread(std::move(work));
                           });
    // Two sentences with a pause between them, so that a second decoder is asked for.
    const std::string samples = go_forward_wav().substr(44);
    const std::string wav = riff(chunk("fmt ", fmt(1, 1, 16000, 16)) +
                                 chunk("data", samples + std::string(32000, '\0') + samples));
    const std::string body = form({{"audio", wav}});
    const server::Reply refused = run("POST", "/transcribe", upload_headers(body.size()), body, two);
    EXPECT_EQ(refused.status, 503) << refused.json;
    EXPECT_NE(refused.json.find("cannot start a decoding thread"), std::string::npos) << refused.json;
    auto next = std::async(std::launch::async, [&] {
        return run("POST", "/transcribe", upload_headers(body.size()), body, two);
    });
    ASSERT_EQ(next.wait_for(std::chrono::seconds(60)), std::future_status::ready) << "decoders lost";
    const server::Reply served = next.get();
    ASSERT_EQ(served.status, 200) << served.json;
    EXPECT_EQ(json::parse(served.json).at("text"), "go forward ten meters go forward ten meters");
}

// The engine can fail for reasons of its own; the client gets a 500 and its reason.
TEST(RequestHandlingFailure, EngineFailureIs500) {
    struct BrokenEngine : server::SpeechToText {
        server::Transcript transcribe(const server::SampleSource&) override {
            throw std::runtime_error("decoder fell over");
        }
    } engine;
    const std::string body =
        form({{"audio", riff(chunk("fmt ", fmt(1, 1, 48000, 16)) + chunk("data", le(1, 2)))}});
    const server::Reply reply = run("POST", "/transcribe", upload_headers(body.size()), body, engine);
    EXPECT_EQ(reply.status, 500);
    EXPECT_NE(json::parse(reply.json).at("error").get<std::string>().find("decoder fell over"),
              std::string::npos);
}

}  // namespace
