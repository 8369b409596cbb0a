// How fast a take becomes a WAV file: write_wav against two references on the same take.
//  - per_sample: the plain way, one 2-byte ostream::write per sample. Kept here only as the yardstick.
//  - memcpy: copying the output's bytes from one buffer to another, already faulted-in one; the floor for
//    moving that many bytes at all, with no conversion and no file.
// Files go to the temporary folder (a real file system, not a null device) and are deleted after every
// iteration, outside the timed part. Only one take is held at a time: a 60-minute take is 691 MB of floats.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "audio/wav_writer.h"
#include "bench/bench_summary.h"
#include "bench/synthetic_take.h"

namespace {

using Clock = std::chrono::steady_clock;

const SampleBuffer& take_of(int minutes) {
    static int held_minutes = 0;
    static SampleBuffer take;
    if (held_minutes != minutes) {
        take.clear();
        bench::record_noise(take, static_cast<std::size_t>(minutes) * bench::frames_per_minute);
        held_minutes = minutes;
    }
    return take;
}

std::string scratch_path() {
    return (std::filesystem::temp_directory_path() / ("dictate-bench-" + std::to_string(getpid()) + ".wav"))
        .string();
}

std::size_t file_bytes(std::size_t samples) { return WavHeader::size + 2 * samples; }

// The stored value written out the obvious way, one sample at a time.
std::int16_t plain_pcm16(float sample) {
    if (std::isnan(sample)) return 0;
    const float product = sample * 32767.0f;
    if (product >= 32767.0f) return 32767;
    if (product <= -32768.0f) return -32768;
    return static_cast<std::int16_t>(product);
}

std::optional<std::string> write_per_sample(const std::string& path, const SampleBuffer& take) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    const std::string header = encode_wav_header(WavHeader::for_samples(take.size()));
    file.write(header.data(), static_cast<std::streamsize>(header.size()));
    take.for_each_block([&](const float* samples, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            const auto bits = static_cast<std::uint16_t>(plain_pcm16(samples[i]));
            const char bytes[2] = {static_cast<char>(bits & 0xFF), static_cast<char>(bits >> 8)};
            file.write(bytes, 2);
        }
    });
    file.close();
    if (!file) return "the per-sample writer failed";
    return std::nullopt;
}

std::string key(const char* variant, int minutes) {
    return std::string(variant) + "/" + std::to_string(minutes);
}

void finish(benchmark::State& state, const char* variant, int minutes, const std::vector<double>& seconds) {
    const std::size_t bytes = file_bytes(take_of(minutes).size());
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes) * state.iterations());
    state.counters["MB"] = static_cast<double>(bytes) / 1e6;
    state.counters["median_ms"] = bench::median(seconds) * 1e3;
    bench::record_figure(key(variant, minutes), bench::median(seconds) * 1e3);
}

using Writer = std::optional<std::string> (*)(const std::string&, const SampleBuffer&);

// Times `write` turning the take into a file, deleting the file after each iteration outside the timing.
void time_file_writes(benchmark::State& state, const char* variant, int minutes, Writer write) {
    const SampleBuffer& take = take_of(minutes);
    const std::string path = scratch_path();
    std::vector<double> seconds;
    for (auto _ : state) {
        const auto start = Clock::now();
        const auto failure = write(path, take);
        const std::chrono::duration<double> took = Clock::now() - start;
        std::filesystem::remove(path);
        if (failure) {
            state.SkipWithError(
                (std::string(variant) + " could not write " + path + ": " + *failure).c_str());
            return;
        }
        state.SetIterationTime(took.count());
        seconds.push_back(took.count());
    }
    finish(state, variant, minutes, seconds);
}

std::optional<std::string> write_ours(const std::string& path, const SampleBuffer& take) {
    const WavWrite result = write_wav(path, take);
    if (result.error != 0) return std::strerror(result.error);
    return std::nullopt;
}

void BM_write_wav(benchmark::State& state, int minutes) {
    time_file_writes(state, "ours", minutes, write_ours);
}

void BM_per_sample(benchmark::State& state, int minutes) {
    time_file_writes(state, "per_sample", minutes, write_per_sample);
}

void BM_memcpy(benchmark::State& state, int minutes) {
    const std::size_t bytes = file_bytes(take_of(minutes).size());
    // Both buffers are written once up front so that no page fault lands in the timed copy.
    const auto from = std::make_unique_for_overwrite<char[]>(bytes);
    const auto to = std::make_unique_for_overwrite<char[]>(bytes);
    std::memset(from.get(), 0x5A, bytes);
    std::memset(to.get(), 0, bytes);
    std::vector<double> seconds;
    for (auto _ : state) {
        const auto start = Clock::now();
        std::memcpy(to.get(), from.get(), bytes);
        benchmark::DoNotOptimize(to.get());
        benchmark::ClobberMemory();
        const std::chrono::duration<double> took = Clock::now() - start;
        state.SetIterationTime(took.count());
        seconds.push_back(took.count());
    }
    finish(state, "memcpy", minutes, seconds);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

    // Registered take by take, so each take is made once and dropped before the next, longer one is made.
    // Fewer iterations for longer takes keep the whole run to well under a minute.
    struct Length {
        int minutes;
        int iterations;
        int per_sample_iterations;
    };
    const Length lengths[] = {{1, 30, 10}, {10, 8, 3}, {60, 4, 2}};
    for (const auto& length : lengths) {
        const int m = length.minutes;
        const std::string suffix = std::string("/").append(std::to_string(m)).append("min");
        benchmark::RegisterBenchmark(("wav_write/ours" + suffix).c_str(), BM_write_wav, m)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond)
            ->Iterations(length.iterations);
        benchmark::RegisterBenchmark(("wav_write/per_sample" + suffix).c_str(), BM_per_sample, m)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond)
            ->Iterations(length.per_sample_iterations);
        benchmark::RegisterBenchmark(("wav_write/memcpy" + suffix).c_str(), BM_memcpy, m)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond)
            ->Iterations(length.iterations);
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    std::printf("\nWAV write, median ms per take (ours = write_wav):\n");
    for (const auto& length : lengths) {
        const int m = length.minutes;
        bench::print_ratio(std::to_string(m) + " min: per-sample writer / ours", key("per_sample", m),
                           key("ours", m), 12.0, false);
        bench::print_ratio(std::to_string(m) + " min: ours / memcpy of the output", key("ours", m),
                           key("memcpy", m), 5.0, true);
    }
    return 0;
}
