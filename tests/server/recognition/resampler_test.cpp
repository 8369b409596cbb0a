#include "server/recognition/resampler.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <numbers>
#include <ostream>
#include <vector>

#include "tests/server/wav_bytes.h"

namespace {

using namespace wav_bytes;

// A WAV of `seconds` of a sine at `hz`, amplitude `level` of full scale, 16-bit, all channels alike.
std::string sine_wav(unsigned rate, unsigned channels, double seconds, double hz, double level) {
    std::string samples;
    const auto frames = static_cast<std::size_t>(rate * seconds);
    for (std::size_t i = 0; i < frames; ++i) {
        const double value = level * std::sin(2 * std::numbers::pi * hz * i / rate);
        const auto stored = static_cast<std::int16_t>(std::lround(value * 32767));
        for (unsigned c = 0; c < channels; ++c) samples += le(static_cast<std::uint16_t>(stored), 2);
    }
    return riff(chunk("fmt ", fmt(1, static_cast<std::uint16_t>(channels), rate, 16)) +
                chunk("data", samples));
}

server::WavAudio audio_of(const std::string& bytes) {
    return std::get<server::WavAudio>(server::decode_wav(bytes));
}

double rms(const std::vector<std::int16_t>& samples, std::size_t skip) {
    double sum = 0;
    for (std::size_t i = skip; i < samples.size() - skip; ++i) sum += double(samples[i]) * samples[i];
    return std::sqrt(sum / (samples.size() - 2 * skip)) / 32768.0;
}

TEST(Resampler, RecognizerRateSixteenBitPassesThroughExactly) {
    std::string samples;
    std::vector<std::int16_t> expected;
    for (int i = 0; i < 40000; ++i) {  // crosses the block size; covers both extremes
        const auto value = static_cast<std::int16_t>((i * 7919) % 65536 - 32768);
        expected.push_back(value);
        samples += le(static_cast<std::uint16_t>(value), 2);
    }
    const std::string bytes = riff(chunk("fmt ", fmt(1, 1, 16000, 16)) + chunk("data", samples));
    EXPECT_EQ(server::to_recognizer_input(audio_of(bytes)), expected);
}

struct RateCase {
    unsigned rate;
    unsigned channels;
};

// ctest names each case after what it prints.
void PrintTo(const RateCase& row, std::ostream* out) { *out << row.rate << "Hz_" << row.channels << "ch"; }

class ResamplesTo16k : public testing::TestWithParam<RateCase> {};

// Length follows the rate ratio, a tone in the speech band keeps its level, and the result is the same
// every time (no dither noise).
TEST_P(ResamplesTo16k, KeepsLengthLevelAndIsDeterministic) {
    const auto [rate, channels] = GetParam();
    const std::string bytes = sine_wav(rate, channels, 1.5, 440.0, 0.5);
    const auto first = server::to_recognizer_input(audio_of(bytes));
    const auto second = server::to_recognizer_input(audio_of(bytes));
    EXPECT_NEAR(static_cast<double>(first.size()), 1.5 * 16000, 2.0);
    EXPECT_NEAR(rms(first, 800), 0.5 / std::sqrt(2.0), 0.005);
    EXPECT_EQ(first, second);
}

INSTANTIATE_TEST_SUITE_P(Rates, ResamplesTo16k,
                         testing::Values(RateCase{48000, 1}, RateCase{44100, 2}, RateCase{8000, 1},
                                         RateCase{96000, 3}, RateCase{22050, 1}),
                         [](const auto& info) { return testing::PrintToString(info.param); });

TEST(Resampler, FullScaleSaturatesInsteadOfWrapping) {
    // Float full scale scales to 32768, one past the largest 16-bit value: it must clip, not wrap negative.
    std::string samples;
    for (int i = 0; i < 48000; ++i) samples += le(std::bit_cast<std::uint32_t>(1.0f), 4);
    const auto out = server::to_recognizer_input(
        audio_of(riff(chunk("fmt ", fmt(3, 1, 48000, 32)) + chunk("data", samples))));
    ASSERT_EQ(out.size(), 16000u);
    for (std::size_t i = 200; i < out.size() - 200; ++i) ASSERT_EQ(out[i], 32767) << "sample " << i;
}

}  // namespace
