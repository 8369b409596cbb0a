#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <ostream>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/loopback_http_server.h"
#include "transcription/transcription_exchange.h"
#include "transcription/transcription_request_internal.h"

namespace {

using dictate_test::LoopbackHttpServer;
using dictate_test::RecordedRequest;
using dictate_test::ScriptedReply;
using transcription::Ending;
using transcription::exchange;
using transcription::ExchangeWatch;
using transcription_detail::send_audio_to;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

// Bytes that a sloppy multipart writer or reader would trip over: NULs, CR LF and dashes.
std::string wav_like_bytes(std::size_t size) {
    std::mt19937 random(42);
    std::string bytes = "RIFF\0\0\0\0WAVEfmt \r\n--\r\n\r\n";
    bytes.resize(size);
    for (std::size_t i = 26; i < size; ++i) bytes[i] = static_cast<char>(random() & 0xff);
    return bytes;
}

ScriptedReply answering(std::string body) {
    ScriptedReply reply;
    reply.body = std::move(body);
    return reply;
}

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

// The request as the server saw it: request line, header lines by lower-case name, and the form's parts.
struct FormPart {
    std::string headers;
    std::string content;
};
struct ParsedRequest {
    std::string request_line;
    std::multimap<std::string, std::string> headers;
    std::vector<FormPart> parts;
};

ParsedRequest parse(const RecordedRequest& recorded) {
    ParsedRequest parsed;
    const std::string& head = recorded.head;
    std::size_t end = head.find("\r\n");
    parsed.request_line = head.substr(0, end);
    for (std::size_t start = end + 2; (end = head.find("\r\n", start)) != start; start = end + 2) {
        const std::string line = head.substr(start, end - start);
        const std::size_t colon = line.find(':');
        parsed.headers.emplace(lower(line.substr(0, colon)),
                               line.substr(line.find_first_not_of(' ', colon + 1)));
    }
    const auto type = parsed.headers.find("content-type");
    if (type == parsed.headers.end()) return parsed;
    const std::size_t boundary_at = type->second.find("boundary=");
    if (boundary_at == std::string::npos) return parsed;
    const std::string delimiter = "--" + type->second.substr(boundary_at + 9);
    const std::string& body = recorded.body;
    if (body.compare(0, delimiter.size() + 2, delimiter + "\r\n") != 0) return parsed;
    for (std::size_t start = delimiter.size() + 2;;) {
        const std::size_t next = body.find("\r\n" + delimiter, start);
        if (next == std::string::npos) break;
        const std::size_t blank = body.find("\r\n\r\n", start);
        if (blank < next)
            parsed.parts.push_back(
                {body.substr(start, blank - start), body.substr(blank + 4, next - blank - 4)});
        start = next + 2 + delimiter.size();
        if (body.compare(start, 2, "--") == 0) break;
        start += 2;
    }
    return parsed;
}

int open_descriptors() {
    return static_cast<int>(std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()));
}

class SendAudio : public testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "transcription_test_XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr) << "mkdtemp " << pattern << ": " << std::strerror(errno);
        root_ = pattern;
    }
    void TearDown() override { fs::remove_all(root_); }

    // Writes bytes to a file at `relative` under the test's own folder and returns its full path.
    std::string make_file(const std::string& relative, const std::string& bytes) {
        const fs::path path = root_ / relative;
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << bytes;
        return path.string();
    }

    fs::path root_;
};

TEST_F(SendAudio, PostsTheFileAsTheOnlyPartNamedAudio) {
    const std::string wav = wav_like_bytes(48'000);
    const std::string path = make_file("C:/Whisper/06-12-2026_07-08-15_output.wav", wav);
    LoopbackHttpServer server(answering(R"({"text":"ok"})"));

    EXPECT_EQ(send_audio_to(server.url("/transcribe"), path), R"({"text":"ok"})");

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    ASSERT_TRUE(requests[0].complete);
    const ParsedRequest request = parse(requests[0]);
    EXPECT_EQ(request.request_line, "POST /transcribe HTTP/1.1");
    EXPECT_EQ(request.headers.find("content-type")->second.rfind("multipart/form-data; boundary=", 0), 0u);
    ASSERT_EQ(request.parts.size(), 1u);
    EXPECT_NE(
        request.parts[0].headers.find(
            R"(Content-Disposition: form-data; name="audio"; filename="06-12-2026_07-08-15_output.wav")"),
        std::string::npos)
        << request.parts[0].headers;
    EXPECT_TRUE(request.parts[0].content == wav) << "part content differs from the file's bytes";
}

TEST_F(SendAudio, LargeFileGoesWithoutExpectAndNoHeaderOfOurOwn) {
    // Past 1 MiB the library would otherwise ask for "100-continue" and stall before sending the body.
    const std::string wav = wav_like_bytes(5 * 1024 * 1024);
    const std::string path = make_file("take.wav", wav);
    LoopbackHttpServer server(answering("done"));

    EXPECT_EQ(send_audio_to(server.url("/transcribe"), path), "done");

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    const ParsedRequest request = parse(requests[0]);
    std::set<std::string> names;
    for (const auto& header : request.headers) names.insert(header.first);
    EXPECT_EQ(names, (std::set<std::string>{"host", "accept", "content-length", "content-type"}));
    ASSERT_EQ(request.parts.size(), 1u);
    EXPECT_TRUE(request.parts[0].content == wav) << "part content differs from the file's bytes";
}

struct ReplyShape {
    const char* name;
    ScriptedReply script;
};

ScriptedReply shaped(int status, std::string body, std::size_t pieces = 1, std::size_t cut_after = -1) {
    ScriptedReply reply;
    reply.status = status;
    reply.reason = status == 200 ? "OK" : "Failed";
    reply.body = std::move(body);
    reply.pieces = pieces;
    reply.pause = std::chrono::milliseconds(pieces > 1 ? 30 : 0);
    reply.cut_after = cut_after;
    return reply;
}

void PrintTo(const ReplyShape& shape, std::ostream* out) { *out << shape.name; }

class ReplyBody : public SendAudio, public testing::WithParamInterface<ReplyShape> {};

// Whatever the server manages to send comes back byte for byte; nothing is judged or dropped.
TEST_P(ReplyBody, ComesBackAsSent) {
    const ScriptedReply& script = GetParam().script;
    const std::string path = make_file("take.wav", wav_like_bytes(1000));
    LoopbackHttpServer server(script);

    EXPECT_EQ(send_audio_to(server.url("/transcribe"), path), script.body.substr(0, script.cut_after));
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, ReplyBody,
    testing::Values(ReplyShape{"Whole", shaped(200, R"({"text":"Hello world."})")},
                    ReplyShape{"InFivePieces", shaped(200, R"({"text":"one, two, three, four, five"})", 5)},
                    ReplyShape{"Empty", shaped(200, "")},
                    ReplyShape{"ServerErrorBody", shaped(500, R"({"error":"model not loaded"})")},
                    ReplyShape{"NotFoundBody", shaped(404, "no such path")},
                    ReplyShape{"CutMidReply", shaped(200, R"({"text":"cut short here"})", 3, 10)}),
    [](const testing::TestParamInfo<ReplyShape>& info) { return std::string(info.param.name); });

TEST_F(SendAudio, NoServerGivesEmptyReplyPromptly) {
    // A bound socket that never listens: connections to its port are refused, and no one else can take it.
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0) << "socket: " << std::strerror(errno);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << std::strerror(errno);
    ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0) << std::strerror(errno);
    const std::string path = make_file("take.wav", wav_like_bytes(1000));

    const auto start = Clock::now();
    const std::string reply =
        send_audio_to("http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/transcribe", path);
    const auto elapsed = Clock::now() - start;
    close(fd);

    EXPECT_EQ(reply, "");
    EXPECT_LT(elapsed, std::chrono::seconds(2));
}

TEST_F(SendAudio, MissingFileGivesEmptyReply) {
    LoopbackHttpServer server(answering(R"({"text":"should not be read"})"));

    EXPECT_EQ(send_audio_to(server.url("/transcribe"), (root_ / "C:/Whisper/absent.wav").string()), "");
}

TEST_F(SendAudio, ServerThatHangsUpWithoutAnswerGivesEmptyReply) {
    ScriptedReply silent;
    silent.action = ScriptedReply::Action::stay_silent;
    auto server = std::make_unique<LoopbackHttpServer>(silent);
    const std::string url = server->url("/transcribe");
    const std::string path = make_file("take.wav", wav_like_bytes(1000));
    // Once the request is in, tear the server down under the waiting client.
    std::thread hang_up([&server] {
        const auto give_up = Clock::now() + std::chrono::seconds(10);
        while (server->requests().empty() && Clock::now() < give_up) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        server.reset();
    });

    const std::string reply = send_audio_to(url, path);
    hang_up.join();

    EXPECT_EQ(reply, "");
}

// Every call sets up and tears down a handle, a form and a header list; any of
// them left behind piles up over a day of dictation. Descriptors are counted here; memory is checked by
// running this test in a build with -DDICTATE_SANITIZE=address,undefined (LeakSanitizer).
TEST_F(SendAudio, ThousandCallsLeaveNoDescriptorBehind) {
    constexpr int calls = 1000;
    const std::string path = make_file("take.wav", wav_like_bytes(16'000));
    LoopbackHttpServer server(answering(R"({"text":"again"})"));
    const std::string url = server.url("/transcribe");

    // A thousand verbose traces would drown the test log; the trace itself is the library's business.
    fflush(stderr);
    const int saved_stderr = dup(STDERR_FILENO);
    const int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(saved_stderr, 0);
    ASSERT_GE(null_fd, 0);
    dup2(null_fd, STDERR_FILENO);
    const int before = open_descriptors();
    const auto start = Clock::now();
    int right = 0;
    for (int i = 0; i < calls; ++i) right += send_audio_to(url, path) == R"({"text":"again"})";
    const auto elapsed = Clock::now() - start;
    const int after = open_descriptors();
    fflush(stderr);
    dup2(saved_stderr, STDERR_FILENO);
    close(saved_stderr);
    close(null_fd);

    EXPECT_EQ(right, calls);
    EXPECT_EQ(server.requests().size(), static_cast<std::size_t>(calls));
    EXPECT_EQ(after, before);
    RecordProperty("open_descriptors",
                   std::to_string(before) + " before, " + std::to_string(after) + " after");
    RecordProperty("milliseconds_per_call",
                   std::to_string(std::chrono::duration<double, std::milli>(elapsed).count() / calls));
}

// What the transcription stage words its message from, where the end-to-end tests cannot pin it down: how
// far a large upload got before a reset, and a file that cannot be read.
TEST_F(SendAudio, OutcomeTellsHowTheExchangeEnded) {
    // Far more than the loopback buffers hold, so the reset comes while the upload is still going out.
    const std::string large = make_file("large.wav", wav_like_bytes(8 * 1024 * 1024));
    {
        SCOPED_TRACE("reset mid-upload");
        ScriptedReply reset;
        reset.action = ScriptedReply::Action::reset;
        LoopbackHttpServer server(reset);
        const auto outcome = exchange(server.url("/transcribe"), large, {});
        EXPECT_EQ(outcome.ending, Ending::dropped) << outcome.library_error;
        EXPECT_EQ(outcome.status, 0);
        EXPECT_FALSE(outcome.library_error.empty());
        EXPECT_GT(outcome.upload_size, 8 * 1024 * 1024);
        EXPECT_LT(outcome.bytes_sent, outcome.upload_size);
    }
    {
        SCOPED_TRACE("missing file");
        LoopbackHttpServer server(answering(R"({"text":"should not be read"})"));
        const auto outcome = exchange(server.url("/transcribe"), (root_ / "absent.wav").string(), {});
        EXPECT_EQ(outcome.ending, Ending::unreadable_file) << outcome.library_error;
    }
}

// A server that takes the upload and never answers: the caller hears once that it is still waiting, and
// its stop request ends the wait promptly.
TEST_F(SendAudio, LongWaitIsToldOnceAndStopEndsIt) {
    ScriptedReply silent;
    silent.action = ScriptedReply::Action::stay_silent;
    LoopbackHttpServer server(silent);
    int told = 0;  // the watch runs on this thread, inside the transfer
    Clock::time_point told_at{}, stop_at{};
    ExchangeWatch watch;
    watch.patience = std::chrono::milliseconds(300);
    watch.still_waiting = [&](std::int64_t received) {
        EXPECT_EQ(received, 0);
        if (told++ == 0) told_at = Clock::now();
    };
    // Stop well after the notice, so that a second one would have had time to come.
    watch.stop_requested = [&] {
        if (told == 0 || Clock::now() - told_at < std::chrono::milliseconds(1500)) return false;
        if (stop_at == Clock::time_point{}) stop_at = Clock::now();
        return true;
    };
    const auto start = Clock::now();

    const auto outcome = exchange(server.url("/transcribe"), make_file("take.wav", "RIFF"), watch);
    const auto end = Clock::now();

    EXPECT_EQ(outcome.ending, Ending::stopped) << outcome.library_error;
    EXPECT_EQ(told, 1);
    EXPECT_GE(told_at - start, std::chrono::milliseconds(300));
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_TRUE(server.requests()[0].complete);
    // The stop is acted on as soon as it is seen; what is measured is how late the library asks.
    EXPECT_LT(end - stop_at, std::chrono::milliseconds(100));
}

// A reply that has begun is watched as closely as one that has not: a stall after its first bytes is told
// (with how much came), so is a trickle that never stalls, and a whole JSON reply is used whether the
// server closes the connection or not, also when a stop is asked for once it has all arrived.
TEST_F(SendAudio, ReplyProgressIsWatchedAfterItsFirstByte) {
    const std::string take = make_file("take.wav", "RIFF");
    const std::string json = R"({"text":"all of it"})";
    {
        SCOPED_TRACE("stalls after its first half");
        ScriptedReply stalls = answering(json);
        stalls.pieces = 2;
        // The library looks in about once a second while idle: the pause leaves it twice that to notice.
        stalls.pause = std::chrono::milliseconds(3000);
        LoopbackHttpServer server(stalls);
        std::vector<std::int64_t> told;
        ExchangeWatch watch;
        watch.patience = std::chrono::milliseconds(400);
        watch.still_waiting = [&](std::int64_t received) { told.push_back(received); };
        const auto outcome = exchange(server.url("/transcribe"), take, watch);
        EXPECT_EQ(outcome.ending, Ending::answered) << outcome.library_error;
        // Once before the first half (the pause before it) and once in the stall after it.
        EXPECT_EQ(told, (std::vector<std::int64_t>{0, std::int64_t((json.size() + 1) / 2)}));
    }
    {
        SCOPED_TRACE("trickles");
        ScriptedReply trickles = answering(json);
        trickles.pieces = json.size();
        trickles.pause = std::chrono::milliseconds(100);
        LoopbackHttpServer server(trickles);
        std::vector<std::int64_t> told;
        ExchangeWatch watch;
        watch.patience = std::chrono::milliseconds(800);
        watch.still_waiting = [&](std::int64_t received) { told.push_back(received); };
        const auto outcome = exchange(server.url("/transcribe"), take, watch);
        EXPECT_EQ(outcome.body, json);
        ASSERT_EQ(told.size(), 1u);
        EXPECT_GT(told[0], 0);
        EXPECT_LT(told[0], std::int64_t(json.size()));
    }
    for (const bool stop : {false, true}) {
        SCOPED_TRACE(stop ? "whole, left open, then a stop" : "whole, left open, no length");
        ScriptedReply left_open = answering(json);
        left_open.announce_length = false;
        left_open.stay_open = true;
        LoopbackHttpServer server(left_open);
        ExchangeWatch watch;
        const auto start = Clock::now();
        // The stop comes before the idle check could end the transfer on its own.
        if (stop)
            watch.stop_requested = [&] { return Clock::now() - start > std::chrono::milliseconds(300); };
        const auto outcome = exchange(server.url("/transcribe"), take, watch);
        EXPECT_EQ(outcome.ending, Ending::answered) << outcome.library_error;
        EXPECT_EQ(outcome.body, json);
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    }
}

// Reply headers past the cap, as many lines or as one line longer than the library takes, are named as
// such, not as a connection that closed.
TEST_F(SendAudio, HeadersOverTheCapAreNamedAsSuch) {
    const std::string take = make_file("take.wav", "RIFF");
    ScriptedReply many = answering(R"({"text":"x"})");
    for (int i = 0; i < 100; ++i)
        many.headers.push_back("X-Padding-" + std::to_string(i) + ": " + std::string(1000, 'a'));
    ScriptedReply one = answering(R"({"text":"x"})");
    one.headers.push_back("X-Padding: " + std::string(200 * 1024, 'a'));
    for (const auto& reply : {many, one}) {
        LoopbackHttpServer server(reply);
        const auto outcome = exchange(server.url("/transcribe"), take, {});
        EXPECT_EQ(outcome.ending, Ending::headers_over_cap) << outcome.library_error;
        EXPECT_EQ(outcome.status, 200);
    }
}

}  // namespace
