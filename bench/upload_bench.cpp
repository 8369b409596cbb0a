// Uploading a 10-minute take (a 57.6 MB WAV file): send_audio_to's transfer against raw TCP writes of the
// same bytes, both to the tests' loopback HTTP server reading and discarding the body. The raw client has the
// file in memory before the clock starts and sends one POST with a Content-Length head and the file as the
// body, so it is the floor for getting those bytes through the loopback device to that server.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "audio/wav_writer.h"
#include "bench/bench_summary.h"
#include "bench/synthetic_take.h"
#include "tests/support/loopback_http_server.h"
#include "transcription/http_library.h"
#include "transcription/transcription_request_internal.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int take_minutes = 10;

std::string os_error(const std::string& call) { return call + ": " + std::strerror(errno); }

// The upload client traces every transfer on standard error; thousands of lines of it would bury the
// figures. While alive, descriptor 2 points at /dev/null.
class SilencedStderr {
public:
    SilencedStderr() {
        std::fflush(stderr);
        saved_ = dup(STDERR_FILENO);
        const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (null >= 0) {
            dup2(null, STDERR_FILENO);
            close(null);
        }
    }
    ~SilencedStderr() {
        std::fflush(stderr);
        if (saved_ >= 0) {
            dup2(saved_, STDERR_FILENO);
            close(saved_);
        }
    }
    SilencedStderr(const SilencedStderr&) = delete;
    SilencedStderr& operator=(const SilencedStderr&) = delete;

private:
    int saved_ = -1;
};

// The take's WAV file in the temporary folder, written once and removed at exit.
class TakeFile {
public:
    TakeFile()
        : path_((std::filesystem::temp_directory_path() /
                 ("dictate-bench-upload-" + std::to_string(getpid()) + ".wav"))
                    .string()) {
        SampleBuffer take;
        bench::record_noise(take, take_minutes * bench::frames_per_minute);
        std::filesystem::remove(path_);  // a file left by an earlier run would be refused, not replaced
        if (const WavWrite written = write_wav(path_, take); written.error != 0)
            throw std::runtime_error("write_wav " + path_ + ": " + std::strerror(written.error));
    }
    ~TakeFile() { std::filesystem::remove(path_); }
    TakeFile(const TakeFile&) = delete;
    TakeFile& operator=(const TakeFile&) = delete;

    const std::string& path() const { return path_; }
    std::string bytes() const {
        std::ifstream in(path_, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }

private:
    std::string path_;
};

const TakeFile& take_file() {
    static const TakeFile file;
    return file;
}

dictate_test::ScriptedReply text_reply() {
    dictate_test::ScriptedReply reply;
    reply.headers = {"Content-Type: application/json"};
    reply.body = R"({"text":"ok"})";
    return reply;
}

void send_all(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t sent = send(fd, data, size, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) throw std::runtime_error(os_error("send"));
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
}

// One POST over a fresh connection; returns the reply's bytes once the server closes.
std::string raw_post(std::uint16_t port, const std::string& body) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error(os_error("socket"));
    std::string reply;
    try {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            throw std::runtime_error(os_error("connect 127.0.0.1:" + std::to_string(port)));
        }
        const std::string head =
            "POST /transcribe HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
            "\r\nContent-Type: audio/wav\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
        send_all(fd, head.data(), head.size());
        // In pieces the size of the server's reads, as a streaming client would send them.
        constexpr std::size_t piece = 64 * 1024;
        for (std::size_t at = 0; at < body.size(); at += piece) {
            send_all(fd, body.data() + at, std::min(piece, body.size() - at));
        }
        char block[4096];
        ssize_t got;
        while ((got = recv(fd, block, sizeof block, 0)) != 0) {
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) throw std::runtime_error(os_error("recv"));
            reply.append(block, static_cast<std::size_t>(got));
        }
    } catch (...) {
        close(fd);
        throw;
    }
    close(fd);
    return reply;
}

// The two clients take turns, one upload each per iteration, so that both meet the same conditions: on a
// loaded machine, loopback throughput swings with what else runs, and back-to-back blocks of
// runs would compare two different moments rather than two clients. The iteration time is send_audio_to's.
void BM_upload(benchmark::State& state) {
    const std::string& path = take_file().path();
    const std::string body = take_file().bytes();
    dictate_test::LoopbackHttpServer server(text_reply(), dictate_test::BodyHandling::discard);
    const std::string url = server.url("/transcribe");
    std::vector<double> ours, raw;
    for (auto _ : state) {
        std::string reply;
        auto start = Clock::now();
        {
            SilencedStderr quiet;
            reply = transcription_detail::send_audio_to(url, path);
        }
        const std::chrono::duration<double> ours_took = Clock::now() - start;
        // The multipart framing adds a few hundred bytes around the file.
        auto requests = server.requests();
        if (reply != text_reply().body || requests.empty() || requests.back().body_bytes < body.size()) {
            state.SkipWithError("send_audio_to's upload did not arrive whole or got no reply");
            return;
        }

        start = Clock::now();
        try {
            reply = raw_post(server.port(), body);
        } catch (const std::exception& error) {
            state.SkipWithError(error.what());
            return;
        }
        const std::chrono::duration<double> raw_took = Clock::now() - start;
        requests = server.requests();
        if (reply.find(text_reply().body) == std::string::npos || requests.back().body_bytes != body.size()) {
            state.SkipWithError("the raw upload did not arrive whole or got no reply");
            return;
        }
        state.SetIterationTime(ours_took.count());
        ours.push_back(ours_took.count());
        raw.push_back(raw_took.count());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(body.size()) * state.iterations());
    state.counters["send_audio_ms"] = bench::median(ours) * 1e3;
    state.counters["raw_tcp_ms"] = bench::median(raw) * 1e3;
    bench::record_figure("send_audio", bench::median(ours) * 1e3);
    bench::record_figure("raw_tcp", bench::median(raw) * 1e3);
}

}  // namespace

int main(int argc, char** argv) {
    const transcription::HttpLibrary http_library;
    if (!http_library.problem().empty()) {
        std::fprintf(stderr, "%s\n", http_library.problem().c_str());
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RegisterBenchmark("upload/send_audio_vs_raw_tcp/10min", BM_upload)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond)
        ->Iterations(25);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    std::printf("\nUpload of a 10-minute take over loopback, median ms:\n");
    bench::print_ratio("send_audio / raw TCP", "send_audio", "raw_tcp", 2.0, true);
    return 0;
}
