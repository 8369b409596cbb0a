#include "server/requests/live_upload.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cmath>
#include <future>
#include <variant>

#include "server/recognition/recognizer.h"
#include "server/requests/request_handler.h"
#include "server/recognition/resampler.h"
#include "server/recognition/wav_reader.h"
#include "tests/server/wav_bytes.h"

namespace {

using namespace wav_bytes;
using namespace std::chrono_literals;

// An engine that hears what the server gives it: which call, and every sample, as a recogniser would.
struct Hearing : server::SpeechToText {
    std::vector<std::int16_t> samples;
    int whole_calls = 0;
    int live_calls = 0;
    std::string series_seen;
    bool cut_short = false;
    std::promise<void> playing;

    server::Transcript transcribe(const server::SampleSource& audio) override {
        ++whole_calls;
        hear(audio);
        return {"whole", 0.0};
    }
    server::Transcript transcribe_live(const server::SampleSource& audio, std::string_view series,
                                       const server::WordsSoFar& = {}) override {
        ++live_calls;
        series_seen = series;
        hear(audio);
        return {"live", 0.0};
    }
    void hear(const server::SampleSource& audio) {
        bool first = true;
        try {
            audio.play([&](std::span<const std::int16_t> block) {
                if (first) playing.set_value();
                first = false;
                samples.insert(samples.end(), block.begin(), block.end());
            });
        } catch (const std::runtime_error&) {
            cut_short = true;
            throw;
        }
    }
};

// A second of a rising tone at `rate`, so that every sample differs from its neighbours.
std::string tone(unsigned rate) {
    std::string data;
    for (unsigned i = 0; i < rate; ++i) {
        const double t = static_cast<double>(i) / rate;
        data += le(static_cast<std::uint16_t>(static_cast<std::int16_t>(9000 * std::sin(2000 * t * t))), 2);
    }
    return data;
}

// What a recorder that cannot know the take's length sends: RIFF and data sizes 0xFFFFFFFF.
std::string streamed_wav(unsigned rate, const std::string& data) {
    return "RIFF" + le(0xFFFFFFFF, 4) + "WAVE" + chunk("fmt ", fmt(1, 1, rate, 16)) +
           chunk_claiming("data", 0xFFFFFFFF, data);
}

std::string form(const std::string& audio) {
    return "--b\r\nContent-Disposition: form-data; name=\"audio\"; filename=\"take.wav\"\r\n\r\n" + audio +
           "\r\n--b--\r\n";
}

const server::Headers streamed_headers{{"Transfer-Encoding", "chunked"},
                                       {"Content-Type", "multipart/form-data; boundary=b"}};

// Whether the recorder left the data size open or wrote it, with other chunks after the samples.
TEST(LiveUpload, StreamedTakeIsHeardAsTheWholeFileWouldBe) {
    struct Row {
        unsigned rate;
        bool size_declared;
    };
    for (const Row row : {Row{16000, false}, Row{48000, false}, Row{48000, true}}) {
        SCOPED_TRACE(std::to_string(row.rate) + (row.size_declared ? " Hz, size declared" : " Hz"));
        const std::string data = tone(row.rate);
        const std::string wav = row.size_declared ? riff(chunk("fmt ", fmt(1, 1, row.rate, 16)) +
                                                         chunk("data", data) + chunk("LIST", tone(800)))
                                                  : streamed_wav(row.rate, data);
        const std::string body = form(wav);
        Hearing engine;
        server::Request request("POST", "/transcribe", streamed_headers, 1'000'000);
        request.decode_while_arriving(engine);
        ASSERT_FALSE(request.start());
        // Pieces that cut frames, the header and the form's boundaries anywhere.
        for (std::size_t at = 0; at < body.size(); at += 997)
            ASSERT_FALSE(request.take(std::string_view(body).substr(at, 997)));
        const server::Reply reply = request.finish(engine);
        ASSERT_EQ(reply.status, 200) << reply.json;
        const auto answer = nlohmann::json::parse(reply.json);
        EXPECT_EQ(answer.at("text"), "live");
        EXPECT_DOUBLE_EQ(answer.at("duration").get<double>(), 1.0);
        EXPECT_EQ(engine.live_calls, 1);
        EXPECT_EQ(engine.whole_calls, 0);

        const std::string whole = riff(chunk("fmt ", fmt(1, 1, row.rate, 16)) + chunk("data", data));
        const auto audio = std::get<server::WavAudio>(server::decode_wav(whole));
        EXPECT_EQ(engine.samples, server::to_recognizer_input(audio));
    }
}

// The series a streamed take names reaches the engine as it was sent; a take that names none, none.
TEST(LiveUpload, TakeSeriesHeaderReachesTheEngine) {
    const std::string series = "0123456789abcdef0123456789abcdef";
    for (const bool named : {true, false}) {
        SCOPED_TRACE(named ? "named" : "none");
        server::Headers headers = streamed_headers;
        if (named) headers.emplace_back("x-take-series", series);
        Hearing engine;
        server::Request request("POST", "/transcribe", headers, 1'000'000);
        request.decode_while_arriving(engine);
        ASSERT_FALSE(request.start());
        ASSERT_FALSE(request.take(form(streamed_wav(16000, tone(16000)))));
        ASSERT_EQ(request.finish(engine).status, 200);
        EXPECT_EQ(engine.live_calls, 1);
        EXPECT_EQ(engine.series_seen, named ? series : "");
    }
}

TEST(LiveUpload, LimitIsCountedAsTheBodyArrives) {
    Hearing engine;
    server::Request request("POST", "/transcribe", streamed_headers, 10'000);
    request.decode_while_arriving(engine);
    ASSERT_FALSE(request.start());
    const std::string body = form(streamed_wav(16000, tone(16000)));
    std::size_t taken = 0;
    std::optional<server::Reply> refused;
    for (; !refused && taken < body.size(); taken += 1000)
        refused = request.take(std::string_view(body).substr(taken, 1000));
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 413) << refused->json;
    EXPECT_EQ(taken, 11'000u);  // refused with the piece that took it over
}

TEST(LiveUpload, UploadCutShortStopsItsDecoding) {
    Hearing engine;
    auto playing = engine.playing.get_future();
    {
        server::Request request("POST", "/transcribe", streamed_headers, 1'000'000);
        request.decode_while_arriving(engine);
        ASSERT_FALSE(request.start());
        const std::string body = form(streamed_wav(16000, tone(16000)));
        ASSERT_FALSE(request.take(std::string_view(body).substr(0, body.size() / 2)));
        playing.wait();
    }  // the client went away: the request ends without finish()
    EXPECT_EQ(engine.live_calls, 1);
    EXPECT_TRUE(engine.cut_short);
}

// A client that goes while its upload waits for a decoder must not hold its connection until one is free.
TEST(LiveUpload, UploadGoneWhileItWaitsForADecoderLetsGo) {
    server::Recognizer recognizer(server::default_model_dir(), 1);
    struct Held : server::SampleSource {
        std::promise<void> holding;
        std::shared_future<void> go;
        void play(const Sink&) const override {
            const_cast<std::promise<void>&>(holding).set_value();
            go.wait();
        }
    } held;
    std::promise<void> release;
    held.go = release.get_future().share();
    auto busy = std::async(std::launch::async, [&] { return recognizer.transcribe_live(held, {}); });
    held.holding.get_future().wait();  // the only decoder is taken

    struct Entering : server::SpeechToText {
        server::Recognizer& recognizer;
        std::promise<void> entered;
        explicit Entering(server::Recognizer& r) : recognizer(r) {}
        server::Transcript transcribe(const server::SampleSource& audio) override {
            return recognizer.transcribe(audio);
        }
        server::Transcript transcribe_live(const server::SampleSource& audio, std::string_view series,
                                           const server::WordsSoFar& = {}) override {
            entered.set_value();
            return recognizer.transcribe_live(audio, series);
        }
    } engine(recognizer);
    auto waiting = engine.entered.get_future();
    auto gone = std::async(std::launch::async, [&] {
        server::Request request("POST", "/transcribe", streamed_headers, 1'000'000);
        request.decode_while_arriving(engine);
        ASSERT_FALSE(request.start());
        const std::string body = form(streamed_wav(16000, tone(16000)));
        ASSERT_FALSE(request.take(std::string_view(body).substr(0, body.size() / 2)));
        waiting.wait();
    });  // the request ends with the client gone
    const bool let_go = gone.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
    release.set_value();
    busy.get();
    EXPECT_TRUE(let_go) << "the request waited for the busy decoder";
}

TEST(LiveUpload, FileThatIsNoWavIsLeftToTheFinishedUpload) {
    Hearing engine;
    server::Request request("POST", "/transcribe", streamed_headers, 1'000'000);
    request.decode_while_arriving(engine);
    ASSERT_FALSE(request.start());
    ASSERT_FALSE(request.take(form("RIFF....WAVEthis is not a recording")));
    const server::Reply reply = request.finish(engine);
    EXPECT_EQ(reply.status, 400) << reply.json;
    EXPECT_EQ(engine.live_calls, 0);
}

}  // namespace

// An engine that tells words as it hears the audio: the first after its first block, all of them at the end.
struct Telling : server::SpeechToText {
    server::Transcript transcribe(const server::SampleSource&) override { return {"whole", 0.0}; }
    server::Transcript transcribe_live(const server::SampleSource& audio, std::string_view,
                                       const server::WordsSoFar& words_so_far = {}) override {
        bool first = true;
        audio.play([&](std::span<const std::int16_t>) {
            if (first && words_so_far) words_so_far("one");
            first = false;
        });
        if (words_so_far) words_so_far("one two");
        return {"one two", 0.0};
    }
};

const std::string take_id = "00112233445566778899aabbccddeeff";

server::Headers with_take_id(std::string id) {
    server::Headers headers = streamed_headers;
    headers.emplace_back("X-Take-Id", std::move(id));
    return headers;
}

// The words of a streamed upload named by its X-Take-Id reach its events while the body still arrives,
// then the whole text, then the end; the reply is the upload's as ever.
TEST(LiveUpload, WordsOfATakeReachItsEventsAsTheyAreHeard) {
    Telling engine;
    server::LiveWords words(5000ms);
    server::Request request("POST", "/transcribe", with_take_id(take_id), 1'000'000);
    request.decode_while_arriving(engine);
    request.offer_live_words(words);
    ASSERT_FALSE(request.start());
    const std::string body = form(streamed_wav(16000, tone(16000)));
    ASSERT_FALSE(request.take(std::string_view(body).substr(0, body.size() / 2)));
    auto reader = words.watch(take_id).reader;
    ASSERT_TRUE(reader);
    auto event = reader->next(30s);
    EXPECT_EQ(event.kind, server::LiveWords::Reader::Event::Kind::words);
    EXPECT_EQ(event.text, "one");
    ASSERT_FALSE(request.take(std::string_view(body).substr(body.size() / 2)));
    const server::Reply reply = request.finish(engine);
    EXPECT_EQ(nlohmann::json::parse(reply.json).at("text"), "one two");
    event = reader->next(30s);
    EXPECT_EQ(event.text, "one two");
    EXPECT_EQ(reader->next(30s).kind, server::LiveWords::Reader::Event::Kind::end);
}

// A client gone part way through its upload: its events end rather than wait for words that won't come.
TEST(LiveUpload, TakeBrokenOffEndsItsEvents) {
    Telling engine;
    server::LiveWords words(5000ms);
    std::unique_ptr<server::LiveWords::Reader> reader;
    {
        server::Request request("POST", "/transcribe", with_take_id(take_id), 1'000'000);
        request.decode_while_arriving(engine);
        request.offer_live_words(words);
        ASSERT_FALSE(request.start());
        const std::string body = form(streamed_wav(16000, tone(16000)));
        ASSERT_FALSE(request.take(std::string_view(body).substr(0, body.size() / 2)));
        reader = words.watch(take_id).reader;
        ASSERT_TRUE(reader);
    }
    auto event = reader->next(30s);
    if (event.kind == server::LiveWords::Reader::Event::Kind::words) event = reader->next(30s);
    EXPECT_EQ(event.kind, server::LiveWords::Reader::Event::Kind::end);
}

// Only a server that streams offers live words, and only an upload with a valid id has a take to read;
// events requests are screened like any other.
TEST(LiveUpload, EventsAreOfferedOnlyWhereTheyCanCome) {
    Telling engine;
    server::LiveWords words(50ms);
    const std::string path = "/transcribe/events/" + take_id;
    struct Row {
        const char* method;
        std::string path;
        bool offered;
        int status;  // 0: goes on to its events
    };
    const Row rows[] = {{"GET", path, true, 0},
                        {"GET", path, false, 404},
                        {"POST", path, true, 405},
                        {"GET", "/transcribe/events/" + take_id.substr(1), true, 400},
                        {"GET", "/transcribe/events/" + take_id + "/..", true, 400},
                        {"GET", "/transcribe/events/", true, 400}};
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.method) + " " + row.path);
        server::Request request(row.method, row.path, {}, 1000);
        request.decode_while_arriving(engine);
        if (row.offered) request.offer_live_words(words);
        const auto decided = request.start();
        EXPECT_EQ(decided ? decided->status : 0, row.status);
        EXPECT_EQ(request.events_take(), row.status == 0 ? take_id : "");
    }
    for (const char* id : {"", "00112233445566778899AABBCCDDEEFF"}) {
        server::Request request("POST", "/transcribe", with_take_id(id), 1'000'000);
        request.decode_while_arriving(engine);
        request.offer_live_words(words);
        ASSERT_FALSE(request.start());
        const std::string body = form(streamed_wav(16000, tone(16000)));
        ASSERT_FALSE(request.take(std::string_view(body).substr(0, body.size() / 2)));
        EXPECT_EQ(words.watch(id).found, server::LiveWords::Found::unknown) << id;
        ASSERT_FALSE(request.take(std::string_view(body).substr(body.size() / 2)));
        EXPECT_EQ(nlohmann::json::parse(request.finish(engine).json).at("text"), "one two");
    }
}
