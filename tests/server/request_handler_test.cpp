#include "server/request_handler.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>

#include "server/recognizer.h"
#include "tests/server/wav_bytes.h"

namespace {

using namespace wav_bytes;
using nlohmann::json;

constexpr std::uint64_t limit = 1'000'000;
const std::pair<std::string, std::string> form_data{"Content-Type", "multipart/form-data; boundary=b"};

// The engine's own test recording of "go forward ten meters": 16 kHz 16-bit mono without a header.
std::string go_forward_wav() {
    std::ifstream in(std::string(POCKETSPHINX_TEST_DATA) + "/goforward.raw", std::ios::binary);
    const std::string samples((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (samples.empty()) throw std::runtime_error("cannot read goforward.raw from " POCKETSPHINX_TEST_DATA);
    return riff(chunk("fmt ", fmt(1, 1, 16000, 16)) + chunk("data", samples));
}

class RequestHandler : public testing::Test {
protected:
    static void SetUpTestSuite() {
        engine = std::make_unique<server::Recognizer>(server::default_model_dir());
        speech = go_forward_wav();
    }
    static void TearDownTestSuite() { engine.reset(); }

    static server::Reply post(std::vector<server::FormPart> parts, std::string length = "1000") {
        server::Request request{
            "POST", "/transcribe", {{"content-length", length}, form_data}, std::move(parts)};
        return server::handle_request(request, *engine, limit);
    }

    static inline std::unique_ptr<server::Recognizer> engine;
    static inline std::string speech;
};

struct Row {
    const char* name;
    server::Request request;
    int status;
    const char* member;  // the JSON member the reply must have
};

TEST_F(RequestHandler, AnswersEachRequestWithStatusAndJsonObject) {
    const std::string pcm16 = chunk("fmt ", fmt(1, 1, 48000, 16));
    const std::string adpcm = riff(chunk("fmt ", fmt(2, 1, 48000, 4, 256)) + chunk("data", "abcd"));
    const server::Headers sized{{"Content-Length", "5000"}, form_data};
    const std::vector<Row> rows{
        {"health", {"GET", "/health", {}, {}}, 200, "status"},
        {"health by POST", {"POST", "/health", sized, {}}, 405, "error"},
        {"transcribe by GET", {"GET", "/transcribe", {}, {}}, 405, "error"},
        {"transcribe by DELETE", {"DELETE", "/transcribe", {}, {}}, 405, "error"},
        {"unknown path", {"GET", "/transcribe/x", {}, {}}, 404, "error"},
        {"path that is not UTF-8", {"GET", "/\xff\xfe", {}, {}}, 404, "error"},
        {"no Content-Length", {"POST", "/transcribe", {}, {{"audio", "a.wav", speech}}}, 411, "error"},
        {"Content-Length not a number",
         {"POST", "/transcribe", {{"Content-Length", "12x"}}, {}},
         400,
         "error"},
        {"negative Content-Length", {"POST", "/transcribe", {{"Content-Length", "-1"}}, {}}, 400, "error"},
        {"over the limit", {"POST", "/transcribe", {{"content-length", "1000001"}}, {}}, 413, "error"},
        {"at the limit, no parts",
         {"POST", "/transcribe", {{"CONTENT-LENGTH", "1000000"}, form_data}, {}},
         400,
         "error"},
        {"not multipart",
         {"POST", "/transcribe", {{"Content-Length", "9"}, {"content-type", "audio/wav"}}, {}},
         400,
         "error"},
        {"no boundary",
         {"POST", "/transcribe", {{"Content-Length", "9"}, {"Content-Type", "multipart/form-data"}}, {}},
         400,
         "error"},
        {"empty boundary",
         {"POST",
          "/transcribe",
          {{"Content-Length", "9"}, {"Content-Type", "multipart/form-data; boundary="}},
          {}},
         400,
         "error"},
        {"wrong part name", {"POST", "/transcribe", sized, {{"sound", "a.wav", speech}}}, 400, "error"},
        {"not a WAV", {"POST", "/transcribe", sized, {{"audio", "a.wav", "hello"}}}, 400, "error"},
        {"ADPCM", {"POST", "/transcribe", sized, {{"audio", "a.wav", adpcm}}}, 415, "error"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const server::Reply reply = server::handle_request(row.request, *engine, limit);
        EXPECT_EQ(reply.status, row.status);
        const json body = json::parse(reply.json);  // throws on anything but valid JSON
        ASSERT_TRUE(body.is_object());
        EXPECT_TRUE(body.contains(row.member)) << reply.json;
        EXPECT_EQ(body.size(), 1u) << reply.json;
    }
}

TEST_F(RequestHandler, TranscribesSpeechInAudioOrFilePart) {
    for (const char* name : {"audio", "file"}) {
        SCOPED_TRACE(name);
        const server::Reply reply = post({{"other", "", "x"}, {name, "take.wav", speech}});
        ASSERT_EQ(reply.status, 200) << reply.json;
        const json body = json::parse(reply.json);
        EXPECT_EQ(body.at("text"), "go forward ten meters");
        EXPECT_NEAR(body.at("duration").get<double>(), 2.79, 0.01);
        EXPECT_NEAR(reply.audio_seconds, 2.79, 0.01);
        EXPECT_GT(reply.decode_seconds, 0.0);
    }
}

TEST_F(RequestHandler, AudioPartWinsOverFilePart) {
    const std::string silence =
        riff(chunk("fmt ", fmt(1, 1, 16000, 16)) + chunk("data", std::string(32000, '\0')));
    const json body = json::parse(post({{"file", "", silence}, {"audio", "", speech}}).json);
    EXPECT_EQ(body.at("text"), "go forward ten meters");
}

TEST_F(RequestHandler, EmptyOrSilentAudioGivesEmptyText) {
    const std::string empty = riff(chunk("fmt ", fmt(1, 1, 48000, 16)) + chunk("data", ""));
    const std::string silence =
        riff(chunk("fmt ", fmt(1, 1, 48000, 16)) + chunk("data", std::string(96000, '\0')));
    for (const std::string& wav : {empty, silence}) {
        const server::Reply reply = post({{"audio", "", wav}});
        ASSERT_EQ(reply.status, 200) << reply.json;
        EXPECT_EQ(json::parse(reply.json).at("text"), "");
    }
}

// The engine can fail for reasons of its own; the client gets a 500 and its reason.
TEST(RequestHandlerFailure, EngineFailureIs500) {
    struct BrokenEngine : server::SpeechToText {
        std::string transcribe(std::span<const std::int16_t>) override {
            throw std::runtime_error("decoder fell over");
        }
    } engine;
    const std::string wav = riff(chunk("fmt ", fmt(1, 1, 48000, 16)) + chunk("data", le(1, 2)));
    server::Request request{
        "POST", "/transcribe", {{"Content-Length", "100"}, form_data}, {{"audio", "", wav}}};
    const server::Reply reply = server::handle_request(request, engine, limit);
    EXPECT_EQ(reply.status, 500);
    EXPECT_NE(json::parse(reply.json).at("error").get<std::string>().find("decoder fell over"),
              std::string::npos);
}

}  // namespace
