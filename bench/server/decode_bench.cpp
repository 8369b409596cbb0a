// Decode speed of the bundled server's recogniser, without the network: a 5 s read sentence followed by
// room noise, as a take ends, decoded several times (median and worst wall time, CPU time across all
// threads, and the front end's and the search's shares), then a 60 s take, with one decoder and with two.
// Prints the model's load time, the resident memory the recogniser takes and the load average. Figures
// only; nothing here passes or fails.
//
// usage: bench_decode [RUNS] [--short]   (default 7 runs; --short: the 5 s sentence with one decoder only)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "bench/bench_summary.h"
#include "bench/process_memory.h"
#include "server/recognition/recognizer.h"
#include "server/recognition/resampler.h"
#include "server/recognition/wav_reader.h"

namespace {

const std::string sentences =
    std::string(POCKETSPHINX_TEST_DATA) + "/librivox/sense_and_sensibility_01_austen_64kb-";

std::vector<std::int16_t> samples_of(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto decoded = server::decode_wav(bytes);
    if (!std::holds_alternative<server::WavAudio>(decoded)) throw std::runtime_error("cannot read " + path);
    return server::to_recognizer_input(std::get<server::WavAudio>(decoded));
}

// The engine's read sentences one after another, repeated, cut at 60 s: the same audio decode_60s.py sends.
std::vector<std::int16_t> sixty_seconds() {
    std::vector<std::int16_t> out;
    while (out.size() < 60 * server::recognizer_rate) {
        for (const char* name : {"0870", "0880", "0890", "0920", "0930"}) {
            const auto sentence = samples_of(sentences + name + ".wav");
            out.insert(out.end(), sentence.begin(), sentence.end());
        }
    }
    out.resize(60 * server::recognizer_rate);
    return out;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double process_cpu_seconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double megabytes(std::size_t bytes) { return static_cast<double>(bytes) / (1024.0 * 1024.0); }

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
    // A take goes on for a moment after the last word until Enter: the sentence is followed by 0.8 s of
    // the room noise of its own first 0.2 s.
    auto five = samples_of(sentences + "0890.wav");
    const std::vector<std::int16_t> room(five.begin(), five.begin() + server::recognizer_rate / 5);
    for (int i = 0; i < 4; ++i) five.insert(five.end(), room.begin(), room.end());
    const bool short_only = argc > 2 && std::string(argv[2]) == "--short";
    const auto sixty = short_only ? std::vector<std::int16_t>{} : sixty_seconds();
    const double five_seconds = static_cast<double>(five.size()) / server::recognizer_rate;
    // Each count in a process of its own, so that one's freed memory does not hide the next one's cost.
    for (unsigned decoders : {1u, 2u}) {
        std::fflush(stdout);
        const pid_t child = fork();
        if (child < 0) return 1;
        if (child > 0) {
            int status = 0;
            waitpid(child, &status, 0);
            if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return 1;
            if (short_only) std::exit(0);
            continue;
        }
        const std::size_t before = bench::resident_bytes().value_or(0);
        const auto loading = std::chrono::steady_clock::now();
        server::Recognizer recognizer(server::default_model_dir(), decoders);
        const double load = seconds_since(loading);
        const std::size_t loaded = bench::resident_bytes().value_or(0);
        double load_average = 0;
        getloadavg(&load_average, 1);
        std::printf(
            "== %u decoder%s: loaded in %.3f s, %.1f MB resident for the recogniser (load average %.1f)\n",
            decoders, decoders == 1 ? "" : "s", load, megabytes(loaded - before), load_average);

        auto five_second_decodes = [&](server::Recognizer& engine, const char* label) {
            std::vector<double> walls, front_ends, searches;
            double cpu = 0;
            std::string text;
            server::DecodeStages stages;
            for (int run = 0; run < runs; ++run) {
                const double cpu_start = process_cpu_seconds();
                const auto start = std::chrono::steady_clock::now();
                text = engine.transcribe(five, stages);
                walls.push_back(seconds_since(start));
                cpu += process_cpu_seconds() - cpu_start;
                front_ends.push_back(stages.front_end_seconds);
                searches.push_back(stages.search_seconds);
            }
            std::printf(
                "%.2f s take (sentence and 0.8 s of room noise)%s, %d decodes: median %.3f s (real-time factor %.3f), worst %.3f s, "
                "CPU %.3f s per decode\n  stages (medians): front end %.3f s, search %.3f s over %zu "
                "segment(s) of %zu frames in all, %zu quiet frames after speech left out\n  \"%s\"\n",
                five_seconds, label, runs, bench::median(walls), bench::median(walls) / five_seconds,
                *std::max_element(walls.begin(), walls.end()), cpu / runs, bench::median(front_ends),
                bench::median(searches), stages.segments, stages.frames, stages.trimmed_frames, text.c_str());
        };
        five_second_decodes(recognizer, "");
        // The same search over every frame the detector kept, for comparison; after the 60 s take unless
        // there is none, so that its model does not count in that take's peak memory.
        auto untrimmed = [&] {
            if (decoders != 1) return;
            server::Recognizer whole(server::default_model_dir(), 1, SIZE_MAX);
            five_second_decodes(whole, " (segments untrimmed)");
        };
        if (short_only) {
            untrimmed();
            std::exit(0);
        }
        std::string text;

        const double cpu_start = process_cpu_seconds();
        const auto start = std::chrono::steady_clock::now();
        text = recognizer.transcribe(sixty);
        const double wall = seconds_since(start);
        std::printf(
            "60 s take: %.2f s (real-time factor %.3f), CPU %.2f s, %zu words, peak resident %.1f MB\n", wall,
            wall / 60.0, process_cpu_seconds() - cpu_start,
            static_cast<std::size_t>(std::count(text.begin(), text.end(), ' ') + !text.empty()),
            megabytes(bench::peak_resident_bytes().value_or(0)));
        untrimmed();
        std::fflush(stdout);
        std::_Exit(0);
    }
}
